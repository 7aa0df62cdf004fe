#include "core/nlc_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/gpu_common.h"
#include "gpu/runtime.h"
#include "support/engine_environment.h"

namespace {

std::vector<float> uniformNoise(int width, int height, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    std::vector<float> image(size_t(width) * height);
    for (float& v : image) v = value(random);
    return image;
}

// The filter's definition in double, with edge-repeating borders.
std::vector<double> reference(const std::vector<float>& image, int width, int height, int r, double mean,
                              double stddev) {
    std::vector<double> out(image.size());
    const double count = double(2 * r + 1) * (2 * r + 1);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double sum = 0.0, sumSquares = 0.0;
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx) {
                    const double v = image[size_t(std::clamp(y + dy, 0, height - 1)) * width +
                                           std::clamp(x + dx, 0, width - 1)];
                    sum += v;
                    sumSquares += v * v;
                }
            const double m = sum / count;
            const double s = std::sqrt(std::max(sumSquares / count - m * m, 1e-12));
            const double o = (image[size_t(y) * width + x] - m) / s * stddev + mean;
            out[size_t(y) * width + x] = std::isnan(o) ? 0.0 : std::clamp(o, 0.0, 1.0);
        }
    return out;
}

// The budget at which every band is `rows` tall before the even share.
uint64_t budgetForBandRows(int width, int radius, int rows) {
    return 16ull * uint64_t(width) * uint64_t(2 * radius + rows);
}

TEST(NlcFilter, MatchesTheDoublePrecisionDefinitionWithClampedBordersAndClippedOutput) {
    TAVRO_REQUIRE_DEVICE();
    const int width = 67, height = 41;
    const std::vector<float> image = uniformNoise(width, height, 3);
    const auto [mean, stddev] = tavro::computeMeanStdDev(tavro::ImageSource(image.data()), width, height);
    for (int radius : {1, 2, 4}) {
        std::vector<float> out(image.size(), -1.0f);
        std::string error;
        ASSERT_TRUE(tavro::nlcFilterGpu(image.data(), out.data(), width, height, radius, mean, stddev, error)) << error;
        const std::vector<double> expected = reference(image, width, height, radius, mean, stddev);
        int clipped = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            // Local variances of uniform noise are large: single-precision sums stay within 1e-5.
            ASSERT_NEAR(out[i], expected[i], 1e-5) << "radius " << radius << ", pixel " << i;
            clipped += out[i] == 0.0f || out[i] == 1.0f;
        }
        EXPECT_GT(clipped, 0) << "radius " << radius << ": the clipping to [0, 1] was never exercised";
    }
}

TEST(NlcFilter, BandSplitAndInPlaceFilteringGiveTheSamePixelsAsOnePass) {
    TAVRO_REQUIRE_DEVICE();
    // Bands carry `radius` halo rows, and in place the rows a later band still
    // needs are kept unfiltered: no split may change a single bit.
    const int width = 23, height = 37;
    const std::vector<float> image = uniformNoise(width, height, 11);
    auto filtered = [&](int radius, uint64_t budget, bool inPlace) {
        std::vector<float> out = inPlace ? image : std::vector<float>(image.size(), -1.0f);
        std::string error;
        EXPECT_TRUE(tavro::detail::nlcFilterWithBudget(inPlace ? out.data() : image.data(), out.data(), width, height,
                                                       radius, 0.45f, 0.2f, budget, error))
            << error;
        return out;
    };
    for (int radius : {1, 3}) {
        const std::vector<float> onePass = filtered(radius, 1ull << 30, false);
        // Bands shorter than the radius force the whole-image copy in place.
        for (int rows : {1, 2, 3, 4, 7, 36}) {
            SCOPED_TRACE(testing::Message() << "radius " << radius << ", bands of " << rows << " rows");
            const uint64_t budget = budgetForBandRows(width, radius, rows);
            const size_t bands = tavro::detail::planNlcBands(width, height, radius, budget).size();
            EXPECT_EQ(bands, size_t((height + rows - 1) / rows));
            EXPECT_EQ(filtered(radius, budget, false), onePass);
            EXPECT_EQ(filtered(radius, budget, true), onePass);
        }
    }
}

TEST(NlcBandPlan, RowsAreSharedEvenlyWithTheFirstBandsOneRowTallerAndHalosClamped) {
    for (int bandRows : {334, 499}) {
        const auto bands = tavro::detail::planNlcBands(100, 1000, 1, budgetForBandRows(100, 1, bandRows));
        ASSERT_EQ(bands.size(), 3u);
        EXPECT_EQ(bands[0].rowEnd - bands[0].rowStart, 334);
        EXPECT_EQ(bands[1].rowEnd - bands[1].rowStart, 333);
        EXPECT_EQ(bands[2].rowEnd - bands[2].rowStart, 333);
    }
    std::vector<std::array<int, 4>> bands;
    for (const auto& b : tavro::detail::planNlcBands(10, 11, 2, budgetForBandRows(10, 2, 3)))
        bands.push_back({b.rowStart, b.rowEnd, b.haloStart, b.haloEnd});
    EXPECT_EQ(bands, (std::vector<std::array<int, 4>>{{0, 3, 0, 5}, {3, 6, 1, 8}, {6, 9, 4, 11}, {9, 11, 7, 11}}));
    // A budget below the halo's cost still makes progress, a row at a time.
    EXPECT_EQ(tavro::detail::planNlcBands(10, 5, 2, 100).size(), 5u);
    EXPECT_LE(tavro::detail::nlcMemoryBudget(), 1ull << 30);
}

TEST(NlcFilter, RadiusBelowOneIsRefusedAndTheImageLeftAlone) {
    std::vector<float> image = uniformNoise(8, 6, 5);
    const std::vector<float> before = image;
    std::string error;
    EXPECT_FALSE(tavro::nlcFilterGpu(image.data(), image.data(), 8, 6, 0, 0.5f, 0.1f, error));
    EXPECT_EQ(error, "NLC radius must be >= 1");
    EXPECT_FALSE(tavro::applyNlcFilterGpu(image, 8, 6, 0, error));
    EXPECT_EQ(error, "NLC radius must be >= 1");
    EXPECT_EQ(image, before);
}

TEST(NlcFilter, ConstantImageKeepsItsValueThroughTheVarianceFloors) {
    TAVRO_REQUIRE_DEVICE();
    // Global and local variances are 0, floored at 1e-12: z = 0 everywhere.
    std::vector<float> image(30 * 20, 0.5f);
    EXPECT_EQ(tavro::computeMeanStdDev(tavro::ImageSource(image.data()), 30, 20), std::make_pair(0.5f, 1e-6f));
    std::string error;
    ASSERT_TRUE(tavro::applyNlcFilterGpu(image, 30, 20, 1, error)) << error;
    EXPECT_EQ(image, std::vector<float>(30 * 20, 0.5f));
}

TEST(NlcFilter, NaNPixelZeroesEveryWindowThatContainsIt) {
    TAVRO_REQUIRE_DEVICE();
    const int width = 16, height = 12, nx = 6;
    std::vector<float> image = uniformNoise(width, height, 9);
    image[nx] = std::numeric_limits<float>::quiet_NaN();  // first row: reached from rows 0 and 1 only
    std::vector<float> out(image.size());
    std::string error;
    ASSERT_TRUE(tavro::nlcFilterGpu(image.data(), out.data(), width, height, 1, 0.5f, 0.25f, error)) << error;
    const std::vector<double> expected = reference(image, width, height, 1, 0.5, 0.25);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const size_t i = size_t(y) * width + x;
            ASSERT_NEAR(out[i], std::abs(x - nx) <= 1 && y <= 1 ? 0.0 : expected[i], 1e-5) << x << "," << y;
        }
    // Through the whole-image entry the global statistics are NaN too.
    ASSERT_TRUE(tavro::applyNlcFilterGpu(image, width, height, 1, error)) << error;
    EXPECT_EQ(image, std::vector<float>(image.size(), 0.0f));
}

TEST(NlcStatistics, RowProviderBandsGiveTheSameMomentsAsTheWholeImage) {
    const int width = 9, height = 600;
    const std::vector<float> image = uniformNoise(width, height, 21);
    std::vector<std::pair<int, int>> requests;
    const tavro::ImageSource provider(tavro::ImageSource::RowProvider([&](float* dst, int first, int end) {
        requests.emplace_back(first, end);
        std::copy(image.begin() + size_t(first) * width, image.begin() + size_t(end) * width, dst);
    }));
    const auto whole = tavro::computeMeanStdDev(tavro::ImageSource(image.data()), width, height);
    EXPECT_EQ(tavro::computeMeanStdDev(provider, width, height), whole);
    EXPECT_EQ(requests, (std::vector<std::pair<int, int>>{{0, 256}, {256, 512}, {512, 600}}));
    // Uniform noise on [0, 1]: mean 1/2, deviation 1/sqrt(12), within sampling error.
    EXPECT_NEAR(whole.first, 0.5, 0.02);
    EXPECT_NEAR(whole.second, 1.0 / std::sqrt(12.0), 0.01);
    EXPECT_EQ(tavro::computeMeanStdDev(tavro::ImageSource(), width, height), std::make_pair(0.0f, 1e-6f))
        << "a source without rows sums zeros";
}

#if !defined(TAVRO_USE_CUDA)
TEST(NlcFilter, DeviceOutOfMemoryNamesTheBufferAndLeavesTheOutputUntouched) {
    // Two band buffers of 8000 bytes fit, not three.
    const tavro::testing::ScopedCpuDevice device(tavro::testing::cpuDeviceWithMemory(20000));
    const std::vector<float> image = uniformNoise(20, 100, 2);
    std::vector<float> out(image.size(), 7.0f);
    std::string error;
    EXPECT_FALSE(tavro::nlcFilterGpu(image.data(), out.data(), 20, 100, 1, 0.5f, 0.2f, error));
    EXPECT_EQ(error, std::string("NLC pool acquire(hSum2) failed: ") + cudaGetErrorString(cudaErrorMemoryAllocation));
    EXPECT_EQ(out, std::vector<float>(image.size(), 7.0f));
}
#endif

} // namespace
