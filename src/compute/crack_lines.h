#pragma once
// Crack lines in a displacement field. A crack shows in a correlation result as
// a jump of the displacement spread over about one correlation window; the
// extraction finds the centre lines of those jumps as ridges (after Steger) of a
// discontinuity-strength map, links the ridge points into lines by hysteresis on
// the significance of the jump measured across them, and gives each point its
// tangent, its angle and the jump in the crack's frame.
//
// Positions are in grid units: point (x, y) lies between grid columns and rows,
// column x to the right, row y downwards. The grid is taken as square, one step
// of stepX pixels in both directions.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavro {

// The fields the extraction reads, each gridWidth x gridHeight row-major values
// (NaN: no value). The displacement is required unless the opening intensity is
// given; the three crack fields of a discontinuity-enriched result are optional.
struct CrackGridView {
    int32_t gridWidth = 0;
    int32_t gridHeight = 0;
    const float* dispX = nullptr;
    const float* dispY = nullptr;
    // Used as the strength map instead of the displacement gradient; NaN reads as no opening.
    const float* openingIntensity = nullptr;
    // Crack angle in degrees: orients the line where finite, instead of the ridge's curvature.
    const float* crackAngle = nullptr;
    // Crack position in pixels from the point along its normal: places the line where finite.
    const float* crackPosition = nullptr;
    // The engine's opening vector in pixels, image axes: the displacement of
    // the side its normal (sin a, cos a) of crackAngle a points to, minus the
    // other side's. Gives the jump wherever it is known (with crackAngle);
    // elsewhere the jump is the displacement's across the line.
    const float* openingX = nullptr;
    const float* openingY = nullptr;
};

// One record for every caller (the crack detection stage and the window's crack
// tools). The defaults are the values the detection stage passes, apart from the
// three it derives from the request (step, window, smoothing).
struct CrackLineParameters {
    int32_t stepX = 1;        // grid step in pixels, at least 1
    int32_t windowSize = 41;  // correlation window in pixels: the width over which a jump is spread
    float minOpening = 0.0f;  // jumps smaller than this many pixels are left out
    // Gaussian scale of the strength map in grid points; a scale from the window
    // (and at least one grid point) applies when it is smaller.
    float smoothingSigma = 0.0f;
    float lowThreshold = 2.0f;  // jump over its noise that extends a line
    // Pixels from the line at which the jump is sampled; 0: half the window plus one step.
    float jumpOffset = 0.0f;
    int32_t minLinePoints = 8;     // shorter lines are dropped by the second pass
    float highThreshold = 8.0f;    // jump over its noise that starts a line
    float maxCentreOffset = 0.5f;  // ridge centre's distance from its cell centre, in cells, per axis
    float maxLinkAngle = 90.0f;    // degrees between the tangents of two linked neighbours
    float maxJoinAngle = 40.0f;    // degrees between a gap and the line ends the second pass joins across it
};

// Crack points, line after line, each line in its order along the crack. Every
// float vector holds one value per point.
struct CrackLineSet {
    std::vector<float> x;
    std::vector<float> y;
    // Unit tangent (c, d) in grid axes. The first pass turns each so that alpha
    // lies in (-90, 90]; the second turns the points of a line to face one way,
    // with the line's mean alpha in (-90, 90] (a point's alpha may then pass
    // beyond +-90 on a line near it).
    std::vector<float> cosine;
    std::vector<float> sine;
    // Tangent angle in degrees, counter-clockwise as seen on screen: atan2(-d, c).
    std::vector<float> alpha;
    // Displacement jump u(side of +n) - u(side of -n) in pixels, n = (-d, c):
    // jumpA along the tangent (slip), jumpB along n (opening when positive).
    std::vector<float> jumpA;
    std::vector<float> jumpB;
    // Jump over its noise level.
    std::vector<float> strength;
    // Index of each line's first point, then the point count; empty with no points.
    std::vector<int32_t> lineStarts;
    int32_t gridWidth = 0;
    int32_t gridHeight = 0;

    size_t size() const { return x.size(); }
    bool empty() const { return x.empty(); }
    size_t lineCount() const { return lineStarts.empty() ? 0 : lineStarts.size() - 1; }
};

// Ridge points linked into lines; single points and short lines included.
CrackLineSet extractCrackLines(const CrackGridView& grid, const CrackLineParameters& params);

// The second pass: end points that hook off a line dropped, lines cut where
// they turn from one crack into another, line ends joined across gaps up to 1.5
// windows long (up to 5 where another line crosses the gap, the more the
// shallower it crosses), lines of fewer than minLinePoints points and jumps
// below minOpening dropped, tangents smoothed along each line, and jumps by
// their neighbours along it.
CrackLineSet extractCrackLines(const CrackLineSet& lines, const CrackLineParameters& params);

// A width x height field at crack point `point` of `lines`, interpolated from the
// finite values of the four surrounding grid values; NaN when there is none or
// the field or the point does not exist.
float measureCrackLines(const std::vector<float>& field, int32_t width, int32_t height, const CrackLineSet& lines,
                        size_t point);

// A width x height field holding, within `radius` pixels of a crack point, the
// value of the nearest such point (values: one per point), NaN elsewhere; at
// least the cell of each point is covered. Empty when a size is not positive.
std::vector<float> makeNanField(const CrackLineSet& lines, const std::vector<float>& values, int32_t width,
                                int32_t height, float radius, const CrackLineParameters& params);

} // namespace tavro
