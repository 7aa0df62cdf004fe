// Kernels written once and built by both toolchains; every expectation here
// holds on a real device as well as on the CPU device runtime.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "gpu/runtime_base.h"
#include "sample_kernels.h"
#include "support/device_objects.h"

namespace tavro::gpu::test {

std::vector<float> sampleTexture(cudaTextureObject_t texture, const std::vector<float2>& at) {
    tavro::testing::DeviceBuffer<float2> coordinates(at);
    tavro::testing::DeviceBuffer<float> out(at.size());
    launchSampleTexture(texture, coordinates.get(), out.get(), static_cast<int>(at.size()));
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return out.download();
}

namespace {

using tavro::testing::ArrayTexture;
using tavro::testing::bitsOf;
using tavro::testing::DeviceBuffer;

struct Geometry {
    dim3 grid;
    dim3 block;
    dim3 extent;
};

uint64_t threadsOf(const Geometry& g) {
    return uint64_t(g.grid.x) * g.grid.y * g.grid.z * g.block.x * g.block.y * g.block.z;
}

// Runs the index kernel and checks that each element inside the extent was
// visited exactly once, by the thread whose global index it holds.
void expectEveryIndexVisitedOnce(const Geometry& g) {
    SCOPED_TRACE(::testing::Message() << "grid " << g.grid.x << "x" << g.grid.y << "x" << g.grid.z << ", block "
                                    << g.block.x << "x" << g.block.y << "x" << g.block.z);
    const size_t n = size_t(g.extent.x) * g.extent.y * g.extent.z;
    DeviceBuffer<unsigned> out(std::vector<unsigned>(n, 0xffffffffu));
    DeviceBuffer<unsigned> hits(std::vector<unsigned>(n, 0));
    DeviceBuffer<unsigned> launched(std::vector<unsigned>{0});
    launchIndexGrid(g.grid, g.block, g.extent, out.get(), hits.get(), launched.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<unsigned> index = out.download();
    const std::vector<unsigned> visits = hits.download();
    EXPECT_EQ(launched.download()[0], threadsOf(g));
    size_t wrong = 0;
    for (size_t i = 0; i < n; ++i)
        if (index[i] != i || visits[i] != 1) ++wrong;
    EXPECT_EQ(wrong, 0u) << "of " << n << " elements";
}

// Partial blocks, and the largest legal block and grid dimensions.
TEST(ElementWiseLaunch, EveryThreadWritesItsOwnGlobalIndexOnce) {
    const Geometry geometries[] = {
        {dim3(5), dim3(64), dim3(300)},
        {dim3(3, 2, 2), dim3(8, 4, 2), dim3(20, 7, 3)},
        {dim3(4, 3), dim3(16, 16), dim3(50, 33)},
        {dim3(2, 5, 7), dim3(3, 1, 5), dim3(6, 5, 31)},
        {dim3(2), dim3(32, 32), dim3(64, 32)},
        {dim3(1, 1, 3), dim3(1, 1, 64), dim3(1, 1, 150)},
        {dim3(1, 65535), dim3(1), dim3(1, 65535)},
    };
    for (const Geometry& g : geometries) expectEveryIndexVisitedOnce(g);
}

TEST(ElementWiseLaunch, InvalidConfigurationsAreRefusedBeforeAnyThreadRuns) {
    const Geometry invalid[] = {
        {dim3(1), dim3(0), dim3(1)},        {dim3(1), dim3(1025), dim3(1)},     {dim3(1), dim3(32, 32, 2), dim3(1)},
        {dim3(1), dim3(1, 1, 65), dim3(1)}, {dim3(1, 65536), dim3(1), dim3(1)}, {dim3(0), dim3(32), dim3(1)},
    };
    DeviceBuffer<unsigned> out(1), hits(1);
    DeviceBuffer<unsigned> launched(std::vector<unsigned>{0});
    cudaGetLastError();
    for (const Geometry& g : invalid) {
        launchIndexGrid(g.grid, g.block, g.extent, out.get(), hits.get(), launched.get());
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration)
            << "grid " << g.grid.x << "x" << g.grid.y << "x" << g.grid.z << ", block " << g.block.x << "x" << g.block.y
            << "x" << g.block.z;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
    EXPECT_EQ(launched.download()[0], 0u);
}

// Values spread over several decades, so that a different summation order
// almost always changes the last bits.
std::vector<float> spreadValues(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> decade(-3, 3);
    std::vector<float> v(n);
    for (float& x : v) x = unit(rng) * std::pow(10.0f, static_cast<float>(decade(rng)));
    return v;
}

// The shuffle order: lane l takes lane l + o for o = 16 .. 1 in every warp,
// then warp 0 folds the per-warp partials the same way, 0 for missing warps.
float warpShuffleSum(const std::vector<float>& perThread) {
    const auto foldWarp = [](std::array<float, 32> lanes) {
        for (int o = 16; o > 0; o /= 2)
            for (int l = 0; l < o; ++l) lanes[size_t(l)] += lanes[size_t(l + o)];
        return lanes[0];
    };
    std::array<float, 32> partials{};
    for (size_t w = 0; w * 32 < perThread.size(); ++w) {
        std::array<float, 32> lanes{};
        std::copy_n(perThread.begin() + std::ptrdiff_t(w * 32), 32, lanes.begin());
        partials[w] = foldWarp(lanes);
    }
    return foldWarp(partials);
}

// What thread t accumulates in the strided loop over one block's data.
std::vector<float> stridedPartials(const float* data, int n, int threads) {
    std::vector<float> partial(size_t(threads), 0.0f);
    for (int t = 0; t < threads; ++t)
        for (int i = t; i < n; i += threads) partial[size_t(t)] += data[i];
    return partial;
}

struct Reduced {
    std::vector<float> sums;
    std::vector<float> maxima;
};

Reduced reduceBlocks(const std::vector<float>& values, int perBlock, int threads) {
    const int blocks = static_cast<int>(values.size()) / perBlock;
    DeviceBuffer<float> in(values);
    DeviceBuffer<float> sums(static_cast<size_t>(blocks)), maxima(static_cast<size_t>(blocks));
    launchBlockReduce(in.get(), perBlock, blocks, threads, sums.get(), maxima.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return {sums.download(), maxima.download()};
}

TEST(BlockReduction, SumFollowsTheWarpShuffleTreeBitForBitAndMatchesADoubleSum) {
    struct Case {
        int threads;
        int perBlock;
    };
    const Case cases[] = {{32, 32}, {96, 1000}, {128, 50}, {256, 4099}, {1024, 3000}};
    int orderSensitiveBlocks = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.threads << " threads, " << c.perBlock << " values per block");
        const int blocks = 7;
        const std::vector<float> values = spreadValues(size_t(blocks * c.perBlock), unsigned(c.threads));
        const Reduced r = reduceBlocks(values, c.perBlock, c.threads);
        for (int b = 0; b < blocks; ++b) {
            const float* data = values.data() + size_t(b) * size_t(c.perBlock);
            const float tree = warpShuffleSum(stridedPartials(data, c.perBlock, c.threads));
            EXPECT_EQ(std::bit_cast<uint32_t>(r.sums[size_t(b)]), std::bit_cast<uint32_t>(tree))
                << "block " << b << ": " << r.sums[size_t(b)] << " vs " << tree;
            double exact = 0.0, magnitude = 0.0;
            float sequential = 0.0f;
            for (int i = 0; i < c.perBlock; ++i) {
                exact += data[i];
                magnitude += std::fabs(data[i]);
                sequential += data[i];
            }
            EXPECT_NEAR(r.sums[size_t(b)], exact, 2e-6 * magnitude);
            if (sequential != tree) ++orderSensitiveBlocks;
            EXPECT_EQ(r.maxima[size_t(b)], *std::max_element(data, data + c.perBlock));
        }
    }
    // Otherwise the bit-for-bit comparison could not tell the orders apart.
    EXPECT_GT(orderSensitiveBlocks, 10);
}

// Absent warps must not enter the final fold as 0: the identity of a sum,
// not of a maximum.
TEST(BlockReduction, MaxOfNegativeValuesIsNotRaisedToZeroByAbsentWarps) {
    const int perBlock = 200;
    std::vector<float> values(static_cast<size_t>(2 * perBlock));
    for (size_t i = 0; i < values.size(); ++i) values[i] = -1.0f - static_cast<float>(i % 37);
    values[static_cast<size_t>(perBlock + 100)] = -0.5f; // held by warp 3 of the larger blocks
    for (int threads : {32, 128, 1024}) {
        const Reduced r = reduceBlocks(values, perBlock, threads);
        EXPECT_EQ(r.maxima[0], -1.0f) << threads << " threads";
        EXPECT_EQ(r.maxima[1], -0.5f) << threads << " threads";
    }
}

std::vector<float> rotateTiles(const std::vector<float>& values, int tileFloats, int threads) {
    const int blocks = static_cast<int>(values.size()) / tileFloats;
    DeviceBuffer<float> in(values), out(values.size());
    launchRotateTiles(in.get(), out.get(), tileFloats, blocks, threads);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return out.download();
}

void expectRotatedTiles(const std::vector<float>& in, const std::vector<float>& out, int tileFloats) {
    size_t wrong = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        const size_t tile = i / size_t(tileFloats), k = i % size_t(tileFloats);
        if (out[i] != in[tile * size_t(tileFloats) + (k + 1) % size_t(tileFloats)]) ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
}

// Each thread reads its neighbour's element of the tile after the barrier.
TEST(DynamicSharedMemory, MoreThan48KiBNeedsTheFunctionAttribute) {
    const std::vector<float> small = spreadValues(size_t(5 * 1000), 3);
    expectRotatedTiles(small, rotateTiles(small, 1000, 128), 1000);

    const int tileFloats = 16384;
    const int bytes = tileFloats * int(sizeof(float));
    const std::vector<float> values = spreadValues(size_t(3 * tileFloats), 4);
    DeviceBuffer<float> in(values), out(values.size());
    cudaGetLastError();

    ASSERT_EQ(limitRotateTilesSharedBytes(48 * 1024), cudaSuccess);
    launchRotateTiles(in.get(), out.get(), tileFloats, 3, 256);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);

    ASSERT_EQ(limitRotateTilesSharedBytes(bytes), cudaSuccess);
    launchRotateTiles(in.get(), out.get(), tileFloats, 3, 256);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    expectRotatedTiles(values, out.download(), tileFloats);
}

// Texel (x, y) holds 10 y + x.
std::vector<float> rampTexels(int width, int height) {
    std::vector<float> texels;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) texels.push_back(static_cast<float>(10 * y + x));
    return texels;
}

// Clamp addressing; point reads take the texel under the coordinate, linear
// ones interpolate between texel centres.
TEST(TextureSampling, PointAndLinearFilteringReadTheRampAndClampOutside) {
    const std::vector<float2> point = {
        make_float2(0.5f, 0.5f),   make_float2(3.5f, 2.5f),   make_float2(0.0f, 0.0f),   make_float2(3.99f, 2.99f),
        make_float2(1.0f, 1.999f), make_float2(-3.0f, 1.5f),  make_float2(4.0f, 1.5f),   make_float2(2.5f, -0.01f),
        make_float2(2.5f, 3.0f),   make_float2(100.f, 100.f), make_float2(-1e6f, -1e6f),
    };
    const std::vector<float2> linear = {
        make_float2(0.5f, 0.5f), make_float2(2.5f, 1.5f), make_float2(1.0f, 0.5f),  make_float2(2.0f, 1.0f),
        make_float2(0.5f, 2.0f), make_float2(0.0f, 0.0f), make_float2(0.25f, 1.5f), make_float2(4.0f, 3.0f),
        make_float2(-5.f, 1.5f), make_float2(9.0f, 9.0f), make_float2(3.5f, 3.0f),
    };
    const ArrayTexture pointTexture(rampTexels(4, 3), 4, 3, cudaAddressModeClamp, cudaFilterModePoint);
    const ArrayTexture linearTexture(rampTexels(4, 3), 4, 3, cudaAddressModeClamp, cudaFilterModeLinear);
    EXPECT_EQ(sampleTexture(pointTexture.get(), point), (std::vector<float>{0, 23, 0, 23, 11, 10, 13, 2, 22, 23, 0}));
    EXPECT_EQ(sampleTexture(linearTexture.get(), linear),
              (std::vector<float>{0, 12, 0.5f, 6.5f, 15, 0, 10, 23, 10, 23, 23}));
}

// The stride-halving tree: slot t takes slot t + stride only when strictly
// greater, so an equal score found in a lower slot of a later level loses.
ArgMaxRecord treeArgMax(const float* score, const int* payload, int threads) {
    std::vector<float> s(score, score + threads);
    std::vector<int> th(static_cast<size_t>(threads));
    for (int t = 0; t < threads; ++t) th[size_t(t)] = t;
    for (int stride = threads / 2; stride > 0; stride /= 2)
        for (int t = 0; t < stride; ++t)
            if (s[size_t(t + stride)] > s[size_t(t)]) {
                s[size_t(t)] = s[size_t(t + stride)];
                th[size_t(t)] = th[size_t(t + stride)];
            }
    return {s[0], payload[th[0]], th[0]};
}

std::vector<ArgMaxRecord> runArgMax(const std::vector<float>& scores, const std::vector<int>& payloads, int threads) {
    const int blocks = static_cast<int>(scores.size()) / threads;
    DeviceBuffer<float> s(scores);
    DeviceBuffer<int> p(payloads);
    DeviceBuffer<ArgMaxRecord> out(static_cast<size_t>(blocks));
    launchArgMax(s.get(), p.get(), out.get(), blocks, threads);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return out.download();
}

std::vector<int> payloadsFor(size_t n) {
    std::vector<int> payloads(n);
    for (size_t i = 0; i < n; ++i) payloads[i] = 1000 + 7 * int(i);
    return payloads;
}

TEST(BlockArgMax, TiesGoToTheSlotTheStrideHalvingTreeKeeps) {
    const int threads = kTreeThreads;
    std::vector<float> scores(size_t(4 * threads), 0.0f);
    // Block 0: maxima at 5 and 64. Slot 0 takes 64 at stride 64, slot 1 takes 5
    // at stride 4, and slot 1 cannot displace slot 0 at stride 1 on a tie: the
    // tree answers 64, not the lowest index 5.
    scores[5] = scores[64] = 9.0f;
    // Block 1: equal maxima everywhere: nothing ever moves, slot 0 wins.
    std::fill(scores.begin() + threads, scores.begin() + 2 * threads, 3.0f);
    // Block 2: a tie between 33 and 97 resolved at stride 64 in favour of 33.
    scores[size_t(2 * threads + 33)] = scores[size_t(2 * threads + 97)] = 4.0f;
    // Block 3: a single maximum at the last thread.
    scores[size_t(4 * threads - 1)] = 1.0f;
    const std::vector<int> payloads = payloadsFor(scores.size());
    const std::vector<ArgMaxRecord> best = runArgMax(scores, payloads, threads);

    const int expectedThread[] = {64, 0, 33, threads - 1};
    for (int b = 0; b < 4; ++b) {
        SCOPED_TRACE(::testing::Message() << "block " << b);
        const ArgMaxRecord tree = treeArgMax(&scores[size_t(b * threads)], &payloads[size_t(b * threads)], threads);
        EXPECT_EQ(tree.thread, expectedThread[b]);
        EXPECT_EQ(best[size_t(b)].thread, tree.thread);
        EXPECT_EQ(best[size_t(b)].score, tree.score);
        EXPECT_EQ(best[size_t(b)].payload, payloads[size_t(b * threads + tree.thread)]);
    }
}

TEST(BlockArgMax, RandomScoresWithFrequentTiesMatchTheHostTree) {
    for (int threads : {32, 64, kTreeThreads}) {
        SCOPED_TRACE(::testing::Message() << threads << " threads");
        const int blocks = 40;
        std::mt19937 rng(static_cast<unsigned>(threads));
        std::uniform_int_distribution<int> level(0, 5);
        std::vector<float> scores(static_cast<size_t>(blocks * threads));
        for (float& s : scores) s = static_cast<float>(level(rng));
        const std::vector<int> payloads = payloadsFor(scores.size());
        const std::vector<ArgMaxRecord> best = runArgMax(scores, payloads, threads);
        for (int b = 0; b < blocks; ++b) {
            const ArgMaxRecord tree = treeArgMax(&scores[size_t(b * threads)], &payloads[size_t(b * threads)], threads);
            EXPECT_EQ(best[size_t(b)].thread, tree.thread) << "block " << b;
            EXPECT_EQ(best[size_t(b)].payload, tree.payload) << "block " << b;
            EXPECT_EQ(best[size_t(b)].score, tree.score) << "block " << b;
        }
    }
}

float treeSum(const float* values, int threads) {
    std::vector<float> s(values, values + threads);
    for (int stride = threads / 2; stride > 0; stride /= 2)
        for (int t = 0; t < stride; ++t) s[size_t(t)] += s[size_t(t + stride)];
    return s[0];
}

TEST(BlockTreeSum, FollowsTheStrideHalvingTreeBitForBit) {
    for (int threads : {32, kTreeThreads}) {
        SCOPED_TRACE(::testing::Message() << threads << " threads");
        const int blocks = 30;
        const std::vector<float> values = spreadValues(size_t(blocks * threads), 11u + unsigned(threads));
        DeviceBuffer<float> in(values), out(static_cast<size_t>(blocks));
        launchTreeSum(in.get(), out.get(), blocks, threads);
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        std::vector<float> expected;
        for (int b = 0; b < blocks; ++b) expected.push_back(treeSum(&values[size_t(b * threads)], threads));
        EXPECT_EQ(bitsOf(out.download()), bitsOf(expected));
    }
}

} // namespace
} // namespace tavro::gpu::test
