// The inference kernels and the whole network against plain loops written
// here from the definitions (zero-padded convolution, 2 x 2 mean, bilinear
// doubling with centres aligned, cubic convolution a = -0.5).

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "neural/inference_kernels.h"
#include "neural/refine_network.h"
#include "support/device_objects.h"

namespace tavro::neural {
namespace {

using testing::DeviceBuffer;

std::vector<float> randomValues(size_t count, unsigned seed, float scale = 1.0f) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-scale, scale);
    std::vector<float> v(count);
    for (float& x : v) x = dist(gen);
    return v;
}

// in: batch items of `inStride` floats, channels planar; out likewise.
void referenceConvolve(const std::vector<float>& in, size_t inOffset, size_t inStride, int inC, std::vector<float>& out,
                       size_t outOffset, size_t outStride, int outC, const std::vector<float>& w,
                       const std::vector<float>& b, int kh, int kw, int h, int wd, int batch) {
    for (int n = 0; n < batch; ++n)
        for (int o = 0; o < outC; ++o)
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < wd; ++x) {
                    float sum = b[size_t(o)];
                    for (int i = 0; i < inC; ++i)
                        for (int ky = 0; ky < kh; ++ky)
                            for (int kx = 0; kx < kw; ++kx) {
                                const int sy = y + ky - kh / 2, sx = x + kx - kw / 2;
                                if (sy < 0 || sy >= h || sx < 0 || sx >= wd) continue;
                                const float value = in[inOffset + n * inStride + size_t(i) * h * wd + size_t(sy) * wd +
                                                       size_t(sx)];
                                sum += w[((size_t(o) * inC + i) * kh + ky) * kw + kx] * value;
                            }
                    out[outOffset + n * outStride + size_t(o) * h * wd + size_t(y) * wd + size_t(x)] = sum;
                }
}

void referenceLeaky(std::vector<float>& v, size_t offset, size_t count) {
    for (size_t k = offset; k < offset + count; ++k)
        if (v[k] < 0.0f) v[k] *= kLeakySlope;
}

std::vector<float> referenceDownsample(const std::vector<float>& in, int planes, int oh, int ow) {
    std::vector<float> out(size_t(planes) * oh * ow);
    for (int p = 0; p < planes; ++p)
        for (int y = 0; y < oh; ++y)
            for (int x = 0; x < ow; ++x) {
                const float* s = &in[size_t(p) * 4 * oh * ow + size_t(2 * y) * 2 * ow + size_t(2 * x)];
                out[size_t(p) * oh * ow + size_t(y) * ow + size_t(x)] = 0.25f * ((s[0] + s[1]) + (s[2 * ow] + s[2 * ow + 1]));
            }
    return out;
}

double centredSource(int o, int inExtent, int& i0, int& i1) {
    const double s = std::max(0.0, (o + 0.5) / 2.0 - 0.5);
    i0 = int(s);
    i1 = std::min(i0 + 1, inExtent - 1);
    return s - i0;
}

std::vector<float> referenceUpsample(const std::vector<float>& in, int planes, int ih, int iw) {
    std::vector<float> out(size_t(planes) * 4 * ih * iw);
    for (int p = 0; p < planes; ++p)
        for (int y = 0; y < 2 * ih; ++y)
            for (int x = 0; x < 2 * iw; ++x) {
                int x0, x1, y0, y1;
                const double lx = centredSource(x, iw, x0, x1), ly = centredSource(y, ih, y0, y1);
                auto at = [&](int yy, int xx) { return double(in[size_t(p) * ih * iw + size_t(yy) * iw + size_t(xx)]); };
                const double top = (1 - lx) * at(y0, x0) + lx * at(y0, x1);
                const double bottom = (1 - lx) * at(y1, x0) + lx * at(y1, x1);
                out[size_t(p) * 4 * ih * iw + size_t(y) * 2 * iw + size_t(x)] = float((1 - ly) * top + ly * bottom);
            }
    return out;
}

double cubic(double d) {
    const double a = -0.5;
    d = std::fabs(d);
    if (d <= 1) return ((a + 2) * d - (a + 3)) * d * d + 1;
    if (d < 2) return ((a * d - 5 * a) * d + 8 * a) * d - 4 * a;
    return 0;
}

double referenceSample(const std::vector<float>& image, int w, int h, double x, double y) {
    const int ix = int(std::floor(x)), iy = int(std::floor(y));
    double sum = 0;
    for (int j = -1; j <= 2; ++j)
        for (int i = -1; i <= 2; ++i) {
            const int cx = std::clamp(ix + i, 0, w - 1), cy = std::clamp(iy + j, 0, h - 1);
            sum += cubic(x - (ix + i)) * cubic(y - (iy + j)) * image[size_t(cy) * w + size_t(cx)];
        }
    return sum;
}

TEST(NeuralKernels, ConvolutionMatchesDirectSumOnChannelSlices) {
    TAVRO_REQUIRE_DEVICE();
    // 3 items, 3 input channels read from a 5-channel tensor at channel 1,
    // 37 outputs (two channel groups) written into a 40-channel tensor at
    // channel 2; odd, non-square sizes.
    const int batch = 3, inC = 3, outC = 37, h = 7, wd = 9;
    for (const auto& [kh, kw] : {std::pair{3, 3}, std::pair{1, 1}, std::pair{3, 5}}) {
        const size_t plane = size_t(h) * wd, inStride = 5 * plane, outStride = 40 * plane;
        const std::vector<float> in = randomValues(batch * inStride, 1);
        const std::vector<float> w = randomValues(size_t(outC) * inC * kh * kw, 2), b = randomValues(outC, 3);
        std::vector<float> expected(batch * outStride, 7.0f);
        referenceConvolve(in, plane, inStride, inC, expected, 2 * plane, outStride, outC, w, b, kh, kw, h, wd, batch);
        DeviceBuffer<float> dIn(in), dOut(std::vector<float>(batch * outStride, 7.0f)),
            dW(outputInnermost(w, outC, inC, kh, kw)), dB(b);
        ASSERT_EQ(convolve({dIn.get() + plane, int64_t(inStride)}, inC, {dOut.get() + 2 * plane, int64_t(outStride)},
                           outC, dW.get(), dB.get(), kh, kw, h, wd, batch),
                  cudaSuccess);
        const std::vector<float> got = dOut.download();
        for (size_t k = 0; k < got.size(); ++k)
            ASSERT_NEAR(got[k], expected[k], 1e-5f) << "kernel " << kh << "x" << kw << " at " << k;
    }
}

// A 1 x 1 identity convolution shows the activation alone.
TEST(NeuralKernels, ActivationScalesOnlyNegativeValues) {
    TAVRO_REQUIRE_DEVICE();
    std::vector<float> v = randomValues(2 * 3 * 5 * 4, 4);
    const std::vector<float> identity{1, 0, 0, 0, 1, 0, 0, 0, 1}, zero(3, 0.0f);
    DeviceBuffer<float> in(v), out(std::vector<float>(v.size(), 0.0f)), w(identity), b(zero);
    ASSERT_EQ(convolve({in.get(), 60}, 3, {out.get(), 60}, 3, w.get(), b.get(), 1, 1, 5, 4, 2, kLeakySlope),
              cudaSuccess);
    referenceLeaky(v, 0, v.size());
    EXPECT_EQ(testing::bitsOf(out.download()), testing::bitsOf(v));
}

TEST(NeuralKernels, ResamplingMatchesDefinitions) {
    TAVRO_REQUIRE_DEVICE();
    const int planes = 2 * 3, oh = 5, ow = 6;
    const std::vector<float> fine = randomValues(size_t(planes) * 4 * oh * ow, 5);
    DeviceBuffer<float> dFine(fine), dCoarse(size_t(planes) * oh * ow);
    ASSERT_EQ(downsample2({dFine.get(), 3 * 4 * oh * ow}, {dCoarse.get(), 3 * oh * ow}, 3, oh, ow, 2), cudaSuccess);
    const std::vector<float> coarse = dCoarse.download();
    EXPECT_EQ(testing::bitsOf(coarse), testing::bitsOf(referenceDownsample(fine, planes, oh, ow)));

    DeviceBuffer<float> dUp(fine.size());
    ASSERT_EQ(upsample2({dCoarse.get(), 3 * oh * ow}, {dUp.get(), 3 * 4 * oh * ow}, 3, oh, ow, 2), cudaSuccess);
    const std::vector<float> up = dUp.download(), expected = referenceUpsample(coarse, planes, oh, ow);
    for (size_t k = 0; k < up.size(); ++k) ASSERT_NEAR(up[k], expected[k], 1e-6f) << k;
}

TEST(NeuralKernels, UpsamplingKeepsLinearRampsAwayFromTheBorder) {
    TAVRO_REQUIRE_DEVICE();
    // v = x on the coarse grid is v = (x + 0.5) / 2 - 0.5 on the fine one,
    // except at the first and last column, where the sample clamps.
    const int n = 8;
    std::vector<float> ramp(size_t(n) * n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) ramp[size_t(y) * n + size_t(x)] = float(x);
    DeviceBuffer<float> dIn(ramp), dOut(size_t(4 * n * n));
    ASSERT_EQ(upsample2({dIn.get(), n * n}, {dOut.get(), 4 * n * n}, 1, n, n, 1), cudaSuccess);
    const std::vector<float> up = dOut.download();
    for (int x = 1; x < 2 * n - 1; ++x) EXPECT_FLOAT_EQ(up[size_t(3) * 2 * n + size_t(x)], (x + 0.5f) / 2 - 0.5f);
    EXPECT_FLOAT_EQ(up[0], 0.0f);
    EXPECT_FLOAT_EQ(up[size_t(2 * n - 1)], float(n - 1));
}

TEST(NeuralKernels, WarpReadsShiftedPixelsAndCubicValuesWithEdgeRepeat) {
    TAVRO_REQUIRE_DEVICE();
    const int w = 23, h = 19, size = 8, batch = 2;
    const std::vector<float> image = randomValues(size_t(w) * h, 6, 100.0f);
    const std::vector<int32_t> origins{3, 4, 17, 14};  // the second tile runs past the right and bottom edges
    const size_t plane = size_t(size) * size;
    std::vector<float> flow(batch * 2 * plane);
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> dist(-2.5f, 2.5f);
    for (float& f : flow) f = dist(gen);
    for (size_t k = 0; k < plane; ++k) {  // first tile, first row: whole-pixel shift (2, -1)
        if (k >= size_t(size)) break;
        flow[k] = 2.0f;
        flow[plane + k] = -1.0f;
    }
    DeviceBuffer<float> dImage(image), dFlow(flow), dOut(batch * plane), dPlain(batch * plane);
    DeviceBuffer<int32_t> dOrigins(origins);
    ASSERT_EQ(warpTiles(dImage.get(), w, h, dOrigins.get(), dFlow.get(), {dOut.get(), int64_t(plane)}, size, batch),
              cudaSuccess);
    ASSERT_EQ(warpTiles(dImage.get(), w, h, dOrigins.get(), nullptr, {dPlain.get(), int64_t(plane)}, size, batch),
              cudaSuccess);
    const std::vector<float> got = dOut.download(), plain = dPlain.download();
    for (int x = 0; x < size; ++x) EXPECT_FLOAT_EQ(got[size_t(x)], image[size_t(4 - 1) * w + size_t(3 + x + 2)]);
    for (int n = 0; n < batch; ++n)
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                const size_t k = n * plane + size_t(y) * size + size_t(x);
                const int ox = origins[2 * n] + x, oy = origins[2 * n + 1] + y;
                const double expected = referenceSample(image, w, h, ox + flow[n * 2 * plane + k - n * plane],
                                                        oy + flow[n * 2 * plane + plane + k - n * plane]);
                ASSERT_NEAR(got[k], expected, 2e-4) << n << " " << x << " " << y;
                ASSERT_EQ(plain[k], image[size_t(std::min(oy, h - 1)) * w + size_t(std::min(ox, w - 1))]);
            }
}

TEST(NeuralKernels, NormalisationGivesZeroMeanUnitDeviationPerTile) {
    TAVRO_REQUIRE_DEVICE();
    // 16-bit grey levels around 40000: a one-pass variance would lose them.
    const int pixels = 1000, batch = 3;
    std::vector<float> v = randomValues(size_t(pixels) * 2 * batch, 8, 300.0f);
    for (float& x : v) x += 40000.0f;
    DeviceBuffer<float> d(v);
    ASSERT_EQ(normalizeTiles({d.get(), 2 * pixels}, pixels, batch), cudaSuccess);
    const std::vector<float> got = d.download();
    for (int n = 0; n < batch; ++n) {
        double mean = 0, sq = 0;
        for (int k = 0; k < pixels; ++k) mean += v[size_t(n) * 2 * pixels + size_t(k)];
        mean /= pixels;
        for (int k = 0; k < pixels; ++k) sq += std::pow(v[size_t(n) * 2 * pixels + size_t(k)] - mean, 2);
        const double sd = std::sqrt(sq / pixels);
        for (int k = 0; k < pixels; ++k) {
            const size_t at = size_t(n) * 2 * pixels + size_t(k);
            ASSERT_NEAR(got[at], (v[at] - mean) / sd, 1e-3) << n << " " << k;
            // The second half of each item is not part of the tile.
            ASSERT_EQ(got[at + size_t(pixels)], v[at + size_t(pixels)]);
        }
    }
}

NeuralWeights randomModel(unsigned seed) {
    NeuralWeights weights;
    weights.modelVersion = kLatestModelVersion;
    weights.iterations = 2;
    unsigned s = seed;
    for (const LayerShape& shape : modelLayerShapes()) {
        ConvLayer layer;
        layer.shape = shape;
        const float scale = 1.0f / std::sqrt(float(shape.inChannels * 9));
        layer.weights = randomValues(size_t(shape.outChannels) * shape.inChannels * 9, ++s, 2 * scale);
        layer.biases = randomValues(size_t(shape.outChannels), ++s, 0.1f);
        weights.layers.push_back(layer);
    }
    return weights;
}

// The network written out layer by layer, as a reader of the model's
// description would (concatenation: upsampled branch first, then the skip).
std::vector<float> referenceForward(const NeuralWeights& m, const std::vector<float>& input, int s, int batch) {
    const int h = s / 2, q = s / 4;
    const size_t full = size_t(s) * s, half = size_t(h) * h, quarter = size_t(q) * q;
    std::vector<float> out;
    for (int n = 0; n < batch; ++n) {
        const std::vector<float> x(input.begin() + long(n * 2 * full), input.begin() + long((n + 1) * 2 * full));
        auto conv = [&](int k, const std::vector<float>& in, int size, bool act) {
            const LayerShape& sh = m.layers[size_t(k)].shape;
            const size_t plane = size_t(size) * size;
            std::vector<float> r(size_t(sh.outChannels) * plane);
            referenceConvolve(in, 0, in.size(), sh.inChannels, r, 0, r.size(), sh.outChannels, m.layers[size_t(k)].weights,
                              m.layers[size_t(k)].biases, 3, 3, size, size, 1);
            if (act) referenceLeaky(r, 0, r.size());
            return r;
        };
        auto concat = [](std::vector<float> a, const std::vector<float>& b) {
            a.insert(a.end(), b.begin(), b.end());
            return a;
        };
        const std::vector<float> f1 = conv(0, x, s, true);
        const std::vector<float> h2 = conv(1, referenceDownsample(f1, 12, h, h), h, true);
        const std::vector<float> f2 = conv(2, h2, h, true);
        std::vector<float> qv = conv(3, referenceDownsample(f2, 24, q, q), q, true);
        qv = conv(4, qv, q, true);
        qv = conv(5, qv, q, true);
        const std::vector<float> h7 = conv(6, concat(referenceUpsample(qv, 32, q, q), f2), h, true);
        const std::vector<float> g = conv(7, concat(referenceUpsample(h7, 24, h, h), f1), s, true);
        const std::vector<float> r = conv(8, g, s, false);
        out.insert(out.end(), r.begin(), r.end());
        (void)full;
        (void)half;
        (void)quarter;
    }
    return out;
}

TEST(NeuralKernels, NetworkMatchesLayerByLayerReference) {
    TAVRO_REQUIRE_DEVICE();
    const int size = 16, batch = 3;
    const NeuralWeights model = randomModel(11);
    RefineNetwork network;
    std::string error;
    ASSERT_TRUE(network.prepare(model, size, batch, error)) << error;
    const size_t full = size_t(size) * size;
    const std::vector<float> input = randomValues(batch * 2 * full, 12);
    ASSERT_EQ(cudaMemcpy(network.input(), input.data(), input.size() * 4, cudaMemcpyHostToDevice), cudaSuccess);
    // Two of the three tiles: the third's residual must stay untouched.
    ASSERT_EQ(cudaMemset(network.residual(), 0, batch * 2 * full * 4), cudaSuccess);
    ASSERT_EQ(network.forward(2), cudaSuccess);
    std::vector<float> got(batch * 2 * full);
    ASSERT_EQ(cudaMemcpy(got.data(), network.residual(), got.size() * 4, cudaMemcpyDeviceToHost), cudaSuccess);
    const std::vector<float> expected = referenceForward(model, input, size, 2);
    for (size_t k = 0; k < expected.size(); ++k) ASSERT_NEAR(got[k], expected[k], 1e-4f * (1 + std::fabs(expected[k]))) << k;
    for (size_t k = expected.size(); k < got.size(); ++k) ASSERT_EQ(got[k], 0.0f);
}

} // namespace
} // namespace tavro::neural
