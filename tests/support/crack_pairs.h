#pragma once
// Speckle pairs cut by straight parallel cracks (or by none), with the truth
// a crack measurement is scored against: each crack's line, its jump, where it
// ends, and the displacement of every reference point.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/synthetic_images.h"

namespace tavro::testing {

// One crack of a family of parallel ones, all at the family's angle.
struct CrackSpec {
    double offset = 0.0; // px along the family's normal, from the image centre
    Vec2 jump{0.0, 0.0}; // u(side the normal points to) - u(other side), px, where the crack is whole
    // px along the tangent (cos a, -sin a) from the image centre's foot on the
    // line: the crack exists before this and its jump fades to nothing over
    // the last kTipTaper px before it. Infinite: the crack crosses the image.
    double tip = std::numeric_limits<double>::infinity();
};

inline constexpr double kTipTaper = 64.0;

struct CrackPairPlan {
    std::string name;
    int size = 512;      // square images
    double angle = 0.0;  // degrees, counter-clockwise on screen; normal (sin a, cos a) as StraightCrack's
    std::vector<CrackSpec> cracks; // by increasing offset; none: a smooth pair
    // Which material stays: false moves the side the normal points to of each
    // crack, true the other side of each (by minus the jump).
    bool minusMoves = false;
    DisplacementField base; // smooth field under the cracks; none: no motion besides them
    // An 8-bit speckle of 2 px spots with a grey-level spread near 48 (about 1 %
    // of the pixels clip at 0 or 255).
    double coverage = 4.0;
    double contrast = 255.0;
    double noise = 1.0; // grey levels of Gaussian noise on both images
    std::uint64_t seed = 7;
};

struct CrackPair {
    CrackPairPlan plan;
    Image reference;
    Image deformed;

    Vec2 normal() const;
    Vec2 tangent() const;
    // Signed distance of reference point (x, y) from crack k's line, positive on the normal's side.
    double distance(size_t k, double x, double y) const;
    // Position of (x, y) along the tangent from the image centre's foot on the lines.
    double along(double x, double y) const;
    // Share of crack k's jump at position s along it: 1 where whole, 0 beyond the tip.
    double jumpShare(size_t k, double s) const;
    // Crack k's jump at reference point (x, y) (taken at its foot on the line).
    Vec2 jumpAt(size_t k, double x, double y) const;
    // The displacement of the material at reference point (x, y).
    Vec2 displacement(double x, double y) const;
    // The region between cracks (0 before the first) that reference point (x, y) belongs to.
    size_t region(double x, double y) const;
    // Region r's field extended over the whole plane.
    Vec2 regionField(size_t r, double x, double y) const;
};

// Share of crack k's length inside the box [lo, hi] (px, reference axes) and
// where its jump is whole that the points of one line (px) cover: a sample of
// the crack, one every pixel, is covered by a point within `across` px of it
// across the crack and 1.5 `spacing` px along it. NaN when no such length.
double coveredShare(const CrackPair& pair, size_t k, const std::vector<Vec2>& line, Vec2 lo, Vec2 hi, double across,
                    double spacing);

// The speckle pattern both images of the pair show.
SpeckleOptions speckleOf(const CrackPairPlan& plan);

// Renders the pair: each region's material rendered whole by its own field,
// and each deformed pixel shared between the regions by the area each covers
// there; where none does, an opening, it shows a dark gap. Both images are
// quantised to 8 bits after the noise, as a camera's are.
CrackPair makeCrackPair(const CrackPairPlan& plan);

// The benchmark's set: openings 0.2 to 3 px, normal and sliding, angles 0 to
// 90 degrees, either side moving, a crack tip, parallel cracks 60 to 200 px
// apart, and smooth fields without a crack.
std::vector<CrackPairPlan> crackPairCatalogue();

} // namespace tavro::testing
