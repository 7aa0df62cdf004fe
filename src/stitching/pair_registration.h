#pragma once
// Offset between two neighbouring tiles, measured by phase correlation of
// their nominal overlap strips and decided by ZNCC on the real overlap.

#include <QImage>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavro::stitching {

// Read access to an 8-bit, 16-bit or float grey raster.
struct GreyView {
    int width = 0;
    int height = 0;
    const uchar* bits = nullptr;
    int64_t stride = 0;  // bytes per line
    int bytesPerPixel = 1;

    static GreyView of(const QImage& image);
    static GreyView of(const std::vector<float>& pixels, int width, int height);
    // Pixels x0, x0 + step, ... (n of them) of line y as floats.
    void readRow(int y, int x0, int n, float* out, int step = 1) const;
};

struct PairSettings {
    int peaks = 20;
    int searchMarginPx = 100;
    double maxDeviationFraction = 0.75;  // of the tile side along the pair
    int64_t minOverlapPixels = 200;
    double probeDistancePx = 10.0;
    bool subpixel = true;
};

struct PairMeasure {
    bool found = false;
    double dx = 0.0;  // position of the second tile minus that of the first, px
    double dy = 0.0;
    double zncc = 0.0;
    // How much better the match is than any other offset: ZNCC of the match
    // minus the best ZNCC elsewhere, in 0..1. Low on smooth or repetitive overlaps.
    double confidence = 0.0;
};

// Phase correlation of equally sized strips through the engine's FFT on the
// current device. One instance per strip size; not shared between threads.
class StripCorrelator {
public:
    StripCorrelator();
    ~StripCorrelator();
    StripCorrelator(const StripCorrelator&) = delete;
    StripCorrelator& operator=(const StripCorrelator&) = delete;

    bool prepare(int rows, int cols, std::string& error);
    int rows() const;
    int cols() const;
    // Normalised cross-power correlation surface of two rows x cols strips; its
    // peak sits at s where b(u) = a(u + s), wrapped into the strip.
    bool correlate(const std::vector<float>& a, const std::vector<float>& b, std::vector<float>& surface,
                   std::string& error);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Zero-normalised cross-correlation of a and b over their overlap when b's
// top-left corner sits at (ox, oy) in a's pixels; samples with a stride so that
// at most about maxSamples pixels are read. False when the overlap is smaller
// than minPixels or flat.
bool overlapZncc(const GreyView& a, const GreyView& b, int ox, int oy, int64_t minPixels, double& zncc,
                 int64_t maxSamples = 262144);

// Measures the offset of b from a. horizontal: b is a's right neighbour, else
// the one below; nominalDx/Dy is the offset of the nominal grid. The strips
// extend searchMarginPx beyond the nominal overlap (within the tiles).
bool registerPair(const GreyView& a, const GreyView& b, bool horizontal, double nominalDx, double nominalDy,
                  const PairSettings& settings, StripCorrelator& correlator, PairMeasure& out, std::string& error);

}  // namespace tavro::stitching
