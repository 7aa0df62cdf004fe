#include "bench_images.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tavro::bench {

testing::SpeckleOptions speckleOptions(const BenchOptions& o) {
    testing::SpeckleOptions s;
    s.width = o.width;
    s.height = o.height;
    s.seed = o.seed;
    s.spotRadius = o.spotRadius;
    s.coverage = o.coverage;
    s.contrast = o.contrast;
    return s;
}

namespace {

void describe(SyntheticPair& pair) {
    const int w = pair.width, h = pair.height;
    const std::vector<uint8_t>& img = pair.reference;
    double sum = 0.0, sumSq = 0.0, gradSqX = 0.0, gradSqY = 0.0;
    size_t clipped = 0, gradCount = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double v = img[size_t(y) * size_t(w) + size_t(x)];
            sum += v;
            sumSq += v * v;
            clipped += (v == 0.0 || v == 255.0) ? 1 : 0;
            if (x > 0 && x + 1 < w && y > 0 && y + 1 < h) {
                const double gx = 0.5 * (double(img[size_t(y) * w + x + 1]) - double(img[size_t(y) * w + x - 1]));
                const double gy =
                    0.5 * (double(img[size_t(y + 1) * w + x]) - double(img[size_t(y - 1) * w + x]));
                gradSqX += gx * gx;
                gradSqY += gy * gy;
                ++gradCount;
            }
        }
    const double n = double(img.size());
    pair.mean = sum / n;
    pair.stdDev = std::sqrt(std::max(0.0, sumSq / n - pair.mean * pair.mean));
    pair.gradientRmsX = gradCount ? std::sqrt(gradSqX / double(gradCount)) : 0.0;
    pair.gradientRmsY = gradCount ? std::sqrt(gradSqY / double(gradCount)) : 0.0;
    pair.clipped = double(clipped) / n;
}

} // namespace

testing::DisplacementField knownField(const BenchOptions& o) {
    switch (o.field) {
    case FieldKind::Translation:
        return testing::translationField(o.ux, o.uy);
    case FieldKind::Affine:
        return testing::affineField({o.gradient[0], o.gradient[1], o.gradient[2], o.gradient[3]},
                                    {0.5 * (o.width - 1), 0.5 * (o.height - 1)}, {o.ux, o.uy});
    case FieldKind::Sinusoid:
        return testing::sinusoidField({o.amplitude, o.amplitude}, o.period,
                                      o.directionDegrees * std::numbers::pi / 180.0);
    }
    return testing::translationField(0.0, 0.0);
}

SyntheticPair makeSyntheticPair(const BenchOptions& o) {
    SyntheticPair pair;
    pair.width = o.width;
    pair.height = o.height;
    pair.field = knownField(o);
    {
        const testing::SpeckleOptions speckle = speckleOptions(o);
        testing::ImagePair images = o.field == FieldKind::Translation
                                        ? testing::makeFourierShiftedPair(speckle, o.ux, o.uy)
                                        : testing::makeRenderedPair(speckle, pair.field);
        const uint64_t noiseSeed = o.seed * 2654435761ull;
        if (o.noise > 0.0 && o.noiseOnReference)
            images.reference = testing::addGaussianNoise(images.reference, o.noise, noiseSeed + 1);
        if (o.noise > 0.0) images.deformed = testing::addGaussianNoise(images.deformed, o.noise, noiseSeed + 2);
        pair.reference = testing::quantize8(images.reference);
        pair.deformed = testing::quantize8(images.deformed);
    }
    describe(pair);
    return pair;
}

} // namespace tavro::bench
