#include "core/tavro_fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "gpu/runtime.h"
#include "support/engine_environment.h"

namespace {

using tavro::fft::Complex;
using tavro::fft::PlanPtr;
using Cd = std::complex<double>;

// In single precision the largest bin error, relative to the RMS bin, measures
// 0.2 to 2e-7 per radix-2 stage (log2 of the pixel count). The bounds leave a
// margin of five on the shared path and ten for Bluestein, which runs three
// FFTs of the padded length and rounds its chirp to floats.
constexpr double kSharedTolerancePerStage = 1.0e-6;
constexpr double kBluesteinTolerancePerStage = 3.0e-6;

using tavro::testing::DeviceBuffer;

// Speckle-like values in [0, 1): a non-zero mean, like image grey levels.
std::vector<float> randomImages(size_t count, unsigned seed) {
    std::mt19937 engine(seed);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    std::vector<float> v(count);
    for (float& x : v) x = value(engine);
    return v;
}

size_t binIndex(bool transposed, int rows, int halfCols, int b, int r, int k) {
    const size_t image = size_t(b) * size_t(rows) * size_t(halfCols);
    return transposed ? image + size_t(k) * rows + r : image + size_t(r) * halfCols + k;
}

std::vector<int> allUpTo(int n) {
    std::vector<int> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[size_t(i)] = i;
    return v;
}

// Direct separable DFT in double of one image, at bins rowBins x colBins
// (result indexed [i * colBins.size() + j]).
std::vector<Cd> directDft(const float* image, int rows, int cols, const std::vector<int>& rowBins,
                          const std::vector<int>& colBins) {
    const double pi = std::acos(-1.0);
    std::vector<Cd> colRoots(static_cast<size_t>(cols)), rowRoots(static_cast<size_t>(rows));
    for (int m = 0; m < cols; ++m) colRoots[size_t(m)] = std::polar(1.0, -2.0 * pi * m / cols);
    for (int m = 0; m < rows; ++m) rowRoots[size_t(m)] = std::polar(1.0, -2.0 * pi * m / rows);
    std::vector<Cd> rowSpectra(size_t(rows) * colBins.size());
    for (int r = 0; r < rows; ++r)
        for (size_t j = 0; j < colBins.size(); ++j) {
            Cd sum = 0.0;
            for (int c = 0; c < cols; ++c)
                sum += double(image[size_t(r) * cols + c]) * colRoots[size_t((int64_t(colBins[j]) * c) % cols)];
            rowSpectra[size_t(r) * colBins.size() + j] = sum;
        }
    std::vector<Cd> bins(rowBins.size() * colBins.size());
    for (size_t i = 0; i < rowBins.size(); ++i)
        for (size_t j = 0; j < colBins.size(); ++j) {
            Cd sum = 0.0;
            for (int r = 0; r < rows; ++r)
                sum += rowSpectra[size_t(r) * colBins.size() + j] *
                       rowRoots[size_t((int64_t(rowBins[i]) * r) % rows)];
            bins[i * colBins.size() + j] = sum;
        }
    return bins;
}

struct Case {
    int rows, cols, batch;
    bool transposed;
};

std::string describe(const Case& c) {
    return std::to_string(c.rows) + " x " + std::to_string(c.cols) + " batch " + std::to_string(c.batch) +
           (c.transposed ? " transposed" : " row-major");
}

PlanPtr makePlan(const Case& c) {
    std::string error = "stale";
    PlanPtr plan(tavro::fft::createPlan(c.rows, c.cols, c.batch, c.transposed ? 1 : 0, error));
    EXPECT_NE(plan, nullptr) << describe(c) << ": " << error;
    EXPECT_TRUE(error.empty()) << error;
    return plan;
}

std::vector<Complex> forward(tavro::fft::Plan* plan, const std::vector<float>& images) {
    const size_t bins = size_t(plan->batch) * plan->rows * plan->halfCols;
    DeviceBuffer<float> in(images);
    DeviceBuffer<Complex> out(bins);
    std::string error;
    EXPECT_TRUE(tavro::fft::execR2C(plan, in.get(), out.get(), error)) << error;
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    return out.download();
}

std::vector<float> inverse(tavro::fft::Plan* plan, const std::vector<Complex>& spectrum) {
    DeviceBuffer<Complex> in(spectrum);
    DeviceBuffer<float> out(size_t(plan->batch) * plan->rows * plan->cols);
    std::string error;
    EXPECT_TRUE(tavro::fft::execC2R(plan, in.get(), out.get(), error)) << error;
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    return out.download();
}

double tolerance(const Case& c, bool sharedPath) {
    const double stages = std::log2(double(c.rows) * c.cols);
    return (sharedPath ? kSharedTolerancePerStage : kBluesteinTolerancePerStage) * stages;
}

// Largest bin error of every image against the direct DFT at the given bins,
// relative to the RMS of the reference bins.
double worstRelativeError(const Case& c, const tavro::fft::Plan& plan, const std::vector<float>& images,
                          const std::vector<Complex>& spectrum, const std::vector<int>& rowBins,
                          const std::vector<int>& colBins) {
    double worst = 0.0;
    for (int b = 0; b < c.batch; ++b) {
        const std::vector<Cd> ref =
            directDft(images.data() + size_t(b) * c.rows * c.cols, c.rows, c.cols, rowBins, colBins);
        double energy = 0.0, largest = 0.0;
        for (size_t i = 0; i < rowBins.size(); ++i)
            for (size_t j = 0; j < colBins.size(); ++j) {
                const Cd expected = ref[i * colBins.size() + j];
                const Complex got =
                    spectrum[binIndex(c.transposed, c.rows, plan.halfCols, b, rowBins[i], colBins[j])];
                energy += std::norm(expected);
                largest = std::max(largest, std::abs(Cd(got.x, got.y) - expected));
            }
        worst = std::max(worst, largest / std::sqrt(energy / double(ref.size())));
    }
    return worst;
}

enum class Path { Shared, Mixed, Bluestein };

void expectMatchesDirectDft(const Case& c, Path expected) {
    SCOPED_TRACE(describe(c));
    const PlanPtr plan = makePlan(c);
    ASSERT_NE(plan, nullptr);
    EXPECT_EQ(plan->sharedPath, expected == Path::Shared);
    EXPECT_EQ(plan->mixedPath, expected == Path::Mixed);
    const std::vector<float> images = randomImages(size_t(c.batch) * c.rows * c.cols, unsigned(c.rows * 131 + c.cols));
    const std::vector<Complex> spectrum = forward(plan.get(), images);
    EXPECT_LT(worstRelativeError(c, *plan, images, spectrum, allUpTo(c.rows), allUpTo(c.cols / 2 + 1)),
              tolerance(c, expected != Path::Bluestein));
}

// Largest |y - N x| over the batch after the inverse of `spectrum`, relative to
// N times the RMS input.
double roundTripError(tavro::fft::Plan* plan, const std::vector<float>& images, const std::vector<Complex>& spectrum) {
    const std::vector<float> back = inverse(plan, spectrum);
    const double scale = double(plan->rows) * plan->cols;
    double energy = 0.0, worst = 0.0;
    for (size_t i = 0; i < images.size(); ++i) {
        energy += double(images[i]) * images[i];
        worst = std::max(worst, std::abs(back[i] - scale * images[i]));
    }
    return worst / (scale * std::sqrt(energy / double(images.size())));
}

void expectRoundTrip(const Case& c) {
    SCOPED_TRACE(describe(c));
    const PlanPtr plan = makePlan(c);
    ASSERT_NE(plan, nullptr);
    const std::vector<float> images = randomImages(size_t(c.batch) * c.rows * c.cols, unsigned(c.cols * 7 + c.rows));
    EXPECT_LT(roundTripError(plan.get(), images, forward(plan.get(), images)), 2.0 * tolerance(c, plan->sharedPath));
}

uint64_t bytesInUse() {
#if defined(TAVRO_USE_CUDA)
    size_t free = 0, total = 0;
    cudaMemGetInfo(&free, &total);
    return total - free;
#else
    return tavro::gpu::deviceBytesInUse(0);
#endif
}

TEST(TavroFftPlan, HoldsItsCountedBytesUntilDestroyedOnEveryWayOut) {
    TAVRO_REQUIRE_DEVICE();
    const uint64_t before = bytesInUse();
    uint64_t transposedBytes = 0;
    try {
        std::string error;
        const PlanPtr plan(tavro::fft::createPlan(64, 64, 16, 1, error));
        ASSERT_NE(plan, nullptr) << error;
        transposedBytes = plan->deviceBytes;
        EXPECT_GE(bytesInUse() - before, plan->deviceBytes);
        throw std::runtime_error("caller fails");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(bytesInUse(), before);

    std::string error;
    PlanPtr rowMajor(tavro::fft::createPlan(64, 64, 16, 0, error));
    ASSERT_NE(rowMajor, nullptr) << error;
    EXPECT_EQ(rowMajor->deviceBytes, transposedBytes + 33u * 64u * 16u * sizeof(Complex))
        << "the row-major layout needs one spectrum of scratch";
    PlanPtr general(tavro::fft::createPlan(30, 49, 2, 1, error));
    ASSERT_NE(general, nullptr) << error;
    EXPECT_GT(general->deviceBytes, 0u);
    rowMajor.reset();
    general.reset();
    EXPECT_EQ(bytesInUse(), before);
    tavro::fft::destroyPlan(nullptr);
}

// Width 4 is the narrowest shared-path row: half = 2 and the split yields bins
// 0, 1 and 2, the last with w_2 = -1, the extra entry at the end of the table.
// Powers of two take the shared path; rows and half rows of factors 2, 3 and 5
// alone the mixed-radix path, which every radix and their mixtures reach here
// (half 1 has no pass at all); other sizes Bluestein's.
TEST(TavroFftForward, MatchesDirectDftOnEveryPathInBothLayouts) {
    TAVRO_REQUIRE_DEVICE();
    for (bool transposed : {true, false}) {
        for (const Case& c : {Case{2, 4, 3, transposed}, Case{8, 4, 2, transposed}, Case{8, 16, 3, transposed},
                              Case{32, 32, 3, transposed}, Case{64, 32, 2, transposed}, Case{16, 128, 2, transposed},
                              Case{128, 8, 2, transposed}})
            expectMatchesDirectDft(c, Path::Shared);
        for (const Case& c : {Case{2, 2, 2, transposed}, Case{5, 2, 2, transposed}, Case{3, 16, 2, transposed},
                              Case{16, 6, 2, transposed}, Case{36, 36, 2, transposed}, Case{45, 12, 2, transposed},
                              Case{20, 30, 3, transposed}, Case{25, 50, 1, transposed}, Case{60, 80, 1, transposed}})
            expectMatchesDirectDft(c, Path::Mixed);
        for (const Case& c : {Case{2, 5, 3, transposed}, Case{7, 13, 2, transposed}, Case{13, 7, 2, transposed},
                              Case{31, 33, 1, transposed}, Case{14, 12, 1, transposed}})
            expectMatchesDirectDft(c, Path::Bluestein);
    }
}

// Batches of 70000 exceed one launch grid.
TEST(TavroFftRoundTrip, InverseOfForwardIsTheImageTimesItsPixelCount) {
    TAVRO_REQUIRE_DEVICE();
    for (bool transposed : {true, false})
        for (const Case& c : {Case{8, 4, 2, transposed}, Case{32, 32, 4, transposed}, Case{64, 128, 2, transposed},
                              Case{256, 16, 2, transposed}, Case{2, 2, 2, transposed}, Case{7, 13, 3, transposed},
                              Case{24, 40, 2, transposed}, Case{64, 2, 2, transposed}, Case{2, 4, 70000, transposed},
                              Case{3, 10, 70000, transposed},
                              Case{2, 3, 70000, transposed}})
            expectRoundTrip(c);
}

// The search reads only the first rows of its correlation frames.
TEST(TavroFftRoundTrip, FirstRowsOfTheInverseAreThoseOfTheWholeInverse) {
    TAVRO_REQUIRE_DEVICE();
    for (const Case& c : {Case{64, 32, 3, true}, Case{45, 36, 3, true}, Case{14, 12, 2, true}}) {
        SCOPED_TRACE(describe(c));
        const PlanPtr plan = makePlan(c);
        ASSERT_NE(plan, nullptr);
        const std::vector<float> images = randomImages(size_t(c.batch) * c.rows * c.cols, 5u);
        const std::vector<Complex> spectrum = forward(plan.get(), images);
        const std::vector<float> whole = inverse(plan.get(), spectrum);
        const int rows = 11;
        DeviceBuffer<Complex> in(spectrum);
        DeviceBuffer<float> out(std::vector<float>(whole.size(), -7.0f));
        std::string error;
        ASSERT_TRUE(tavro::fft::execC2RRows(plan.get(), in.get(), out.get(), rows, error)) << error;
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        const std::vector<float> some = out.download();
        const size_t image = size_t(c.rows) * c.cols;
        for (int b = 0; b < c.batch; ++b)
            for (size_t i = 0; i < size_t(rows) * c.cols; ++i)
                ASSERT_EQ(some[b * image + i], whole[b * image + i]) << "image " << b << " element " << i;
    }
}

// The product formed as the columns load their lines is the product formed first.
TEST(TavroFftRoundTrip, CorrelationInverseIsTheInverseOfTheProductWithTheConjugate) {
    TAVRO_REQUIRE_DEVICE();
    for (bool transposed : {true, false})
        for (const Case& c : {Case{32, 32, 3, transposed}, Case{45, 36, 2, transposed}, Case{14, 12, 2, transposed}}) {
            SCOPED_TRACE(describe(c));
            const PlanPtr plan = makePlan(c);
            ASSERT_NE(plan, nullptr);
            const size_t reals = size_t(c.batch) * c.rows * c.cols;
            const std::vector<Complex> a = forward(plan.get(), randomImages(reals, 8u));
            const std::vector<Complex> b = forward(plan.get(), randomImages(reals, 9u));
            std::vector<Complex> product(a.size());
            for (size_t i = 0; i < a.size(); ++i)
                product[i] = make_float2(a[i].x * b[i].x + a[i].y * b[i].y, a[i].y * b[i].x - a[i].x * b[i].y);
            const std::vector<float> expected = inverse(plan.get(), product);
            DeviceBuffer<Complex> factor(a), lines(b);
            DeviceBuffer<float> out(reals);
            std::string error;
            ASSERT_TRUE(tavro::fft::execC2RCorrelation(plan.get(), factor.get(), lines.get(), out.get(), c.rows, error))
                << error;
            ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
            // Equal bits on the CPU; a GPU may fuse the product's multiply-adds differently in the two kernels.
            const std::vector<float> got = out.download();
            double largest = 0.0, worst = 0.0;
            for (size_t i = 0; i < got.size(); ++i) {
                largest = std::max(largest, std::abs(double(expected[i])));
                worst = std::max(worst, std::abs(double(got[i]) - expected[i]));
            }
            EXPECT_LE(worst, 1e-6 * largest);
        }
}

std::vector<int> sampled(int n, std::initializer_list<int> picks) {
    std::vector<int> v;
    for (int p : picks)
        if (p < n) v.push_back(p);
    return v;
}

void expectLargeTransform(const Case& c, bool expectShared) {
    SCOPED_TRACE(describe(c));
    const PlanPtr plan = makePlan(c);
    ASSERT_NE(plan, nullptr);
    EXPECT_EQ(plan->sharedPath, expectShared);
    const std::vector<float> images = randomImages(size_t(c.batch) * c.rows * c.cols, 17u);
    const std::vector<Complex> spectrum = forward(plan.get(), images);
    const int half = c.cols / 2;
    const std::vector<int> rowBins = sampled(c.rows, {0, 1, 2, 7, c.rows / 3, c.rows / 2, c.rows - 1});
    const std::vector<int> colBins = sampled(half + 1, {0, 1, 3, 5, half / 3, half - 1, half});
    EXPECT_LT(worstRelativeError(c, *plan, images, spectrum, rowBins, colBins), tolerance(c, expectShared));
    EXPECT_LT(roundTripError(plan.get(), images, spectrum), 2.0 * tolerance(c, expectShared));
}

// Powers of two beyond the shared-memory limits take Bluestein's path.
TEST(TavroFftLarge, SampledBinsAndRoundTripOnEitherPath) {
    TAVRO_REQUIRE_DEVICE();
    expectLargeTransform(Case{1024, 1024, 1, true}, true);
    expectLargeTransform(Case{1000, 1000, 1, true}, false);
    expectLargeTransform(Case{8192, 8, 1, true}, false);
    expectLargeTransform(Case{16, 8192, 1, false}, false);
}

TEST(TavroFftErrors, DimensionsBelowTwoOrAnEmptyBatchAreRefused) {
    for (const Case& c : {Case{1, 8, 1, true}, Case{8, 1, 1, true}, Case{8, 8, 0, true}, Case{0, 0, 0, false},
                          Case{-4, 8, 1, true}, Case{1, 1, 1, false}}) {
        std::string error = "stale";
        EXPECT_EQ(tavro::fft::createPlan(c.rows, c.cols, c.batch, 1, error), nullptr) << describe(c);
        EXPECT_EQ(error, "tavro_fft: dimensions invalides.") << describe(c);
    }
}

TEST(TavroFftErrors, NullArgumentsAreRefusedBeforeAnyWork) {
    tavro::fft::Plan plan;
    float real = 0.0f;
    Complex bin{0.0f, 0.0f};
    for (int missing = 0; missing < 3; ++missing) {
        tavro::fft::Plan* p = missing == 0 ? nullptr : &plan;
        std::string error;
        EXPECT_FALSE(tavro::fft::execR2C(p, missing == 1 ? nullptr : &real, missing == 2 ? nullptr : &bin, error));
        EXPECT_EQ(error, "tavro_fft: execR2C, pointeur nul.") << "argument " << missing;
        EXPECT_FALSE(tavro::fft::execC2R(p, missing == 1 ? nullptr : &bin, missing == 2 ? nullptr : &real, error));
        EXPECT_EQ(error, "tavro_fft: execC2R, pointeur nul.") << "argument " << missing;
    }
}

#if !defined(TAVRO_USE_CUDA)

using tavro::testing::cpuDeviceWithMemory;
using tavro::testing::ScopedCpuDevice;

TEST(TavroFftErrors, FailedCreationNamesTheStepAndReleasesWhatItHeld) {
    struct Expected {
        uint64_t capacity;
        int rows, cols, batch, transposed;
        const char* message;
    };
    // 1000 columns: M = 2048, so 8 KiB of roots, 8000 bytes of chirp, two
    // 16 KiB kernel buffers, then about 48 MB of work and spectrum buffers.
    for (const Expected& e : {
             Expected{256, 512, 1024, 1, 1, "tavro_fft: tables: out of memory"},
             Expected{1 << 20, 64, 64, 1024, 0, "tavro_fft: tampon transposée: out of memory"},
             Expected{4 << 10, 8, 1000, 1, 1, "tavro_fft: racines Bluestein: out of memory"},
             Expected{12 << 10, 8, 1000, 1, 1, "tavro_fft: chirp: out of memory"},
             Expected{20 << 10, 8, 1000, 1, 1, "tavro_fft: noyau Bluestein: out of memory"},
             Expected{40 << 10, 8, 1000, 1, 1, "tavro_fft: noyau Bluestein: out of memory"},
             Expected{20 << 20, 1000, 1000, 1, 1, "tavro_fft: tampons Bluestein: out of memory"},
         }) {
        const ScopedCpuDevice device(cpuDeviceWithMemory(e.capacity), 2);
        std::string error;
        EXPECT_EQ(tavro::fft::createPlan(e.rows, e.cols, e.batch, e.transposed, error), nullptr) << e.message;
        EXPECT_EQ(error, e.message);
        EXPECT_EQ(tavro::gpu::deviceBytesInUse(0), 0u) << e.message;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the failure is reported in the message only";
    }
}

struct Outputs {
    std::vector<Complex> spectrum;
    std::vector<float> back;
};

Outputs transformOnce(const Case& c) {
    const PlanPtr plan = makePlan(c);
    if (!plan) return {};
    const std::vector<float> images = randomImages(size_t(c.batch) * c.rows * c.cols, 5u);
    Outputs o;
    o.spectrum = forward(plan.get(), images);
    o.back = inverse(plan.get(), o.spectrum);
    return o;
}

bool sameBits(const Outputs& a, const Outputs& b) {
    return a.spectrum.size() == b.spectrum.size() && a.back.size() == b.back.size() &&
           std::memcmp(a.spectrum.data(), b.spectrum.data(), a.spectrum.size() * sizeof(Complex)) == 0 &&
           std::memcmp(a.back.data(), b.back.data(), a.back.size() * sizeof(float)) == 0;
}

// Reversing every phase's thread order exposes a read of another thread's
// write without a barrier in between; the host thread count must not matter.
TEST(TavroFftCpuDevice, SameBitsForAnyThreadCountAndPhaseOrder) {
    for (const Case& c : {Case{32, 64, 9, true}, Case{64, 32, 3, false}, Case{2, 4, 5, true}, Case{9, 14, 3, false},
                          Case{45, 36, 3, true}}) {
        SCOPED_TRACE(describe(c));
        Outputs single, many, reversed;
        {
            const ScopedCpuDevice device(cpuDeviceWithMemory(0), 1);
            single = transformOnce(c);
        }
        {
            const ScopedCpuDevice device(cpuDeviceWithMemory(0), 4);
            many = transformOnce(c);
            tavro::gpu::setReversePhaseOrder(true);
            reversed = transformOnce(c);
        }
        ASSERT_FALSE(single.spectrum.empty());
        EXPECT_TRUE(sameBits(single, many));
        EXPECT_TRUE(sameBits(single, reversed));
    }
}

#endif

} // namespace
