#include "compute/row_parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace tavro::gui {
namespace {

using detail::planRowChunks;
using detail::RowChunk;

std::vector<int> chunkSizes(const std::vector<RowChunk>& chunks) {
    std::vector<int> sizes;
    for (const RowChunk& c : chunks) sizes.push_back(c.end - c.begin);
    return sizes;
}

TEST(ParallelForRows, ShortRangesAndSingleCoreMachinesRunInOneChunk) {
    EXPECT_EQ(chunkSizes(planRowChunks(0, 63, 16)), std::vector<int>{63});
    EXPECT_EQ(chunkSizes(planRowChunks(10, 200, 1)), std::vector<int>{190});
    EXPECT_EQ(chunkSizes(planRowChunks(10, 200, 0)), std::vector<int>{190}) << "0 threads reported counts as 1";
    EXPECT_TRUE(planRowChunks(5, 5, 8).empty());
    EXPECT_TRUE(planRowChunks(5, 2, 8).empty());
}

TEST(ParallelForRows, ChunksAreContiguousAndCoverTheRangeOnce) {
    EXPECT_EQ(chunkSizes(planRowChunks(0, 64, 8)), std::vector<int>(8, 8));
    const std::vector<RowChunk> chunks = planRowChunks(100, 200, 16);
    std::vector<int> expected(14, 7);
    expected.push_back(2);
    EXPECT_EQ(chunkSizes(chunks), expected);
    EXPECT_EQ(chunks.front().begin, 100);
    for (size_t k = 1; k < chunks.size(); ++k) EXPECT_EQ(chunks[k].begin, chunks[k - 1].end);
    EXPECT_EQ(chunks.back().end, 200);
    EXPECT_EQ(planRowChunks(0, 1000, 64).size(), 16u) << "never more than 16 threads";
}

std::thread startNormally(std::function<void()> run) { return std::thread(std::move(run)); }

TEST(ParallelForRows, EveryRowIsVisitedExactlyOnceAcrossThreads) {
    std::vector<std::atomic<int>> visits(1000);
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    detail::parallelForRows(0, 1000, [&](int from, int to) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            threads.push_back(std::this_thread::get_id());
        }
        for (int r = from; r < to; ++r) ++visits[r];
    }, 8, startNormally);
    for (int r = 0; r < 1000; ++r) ASSERT_EQ(visits[r].load(), 1) << r;
    EXPECT_EQ(threads.size(), 8u);
}

TEST(ParallelForRows, ChunksWhoseThreadCannotStartRunOnTheCallingThread) {
    std::vector<std::atomic<int>> visits(640);
    std::atomic<int> started{0};
    std::atomic<int> onCaller{0};
    const std::thread::id caller = std::this_thread::get_id();
    const detail::ThreadStarter failAfterTwo = [&](std::function<void()> run) {
        if (started == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        ++started;
        return std::thread(std::move(run));
    };
    detail::parallelForRows(0, 640, [&](int from, int to) {
        if (std::this_thread::get_id() == caller) ++onCaller;
        for (int r = from; r < to; ++r) ++visits[r];
    }, 10, failAfterTwo);
    for (int r = 0; r < 640; ++r) ASSERT_EQ(visits[r].load(), 1) << r;
    EXPECT_EQ(started.load(), 2);
    EXPECT_EQ(onCaller.load(), 8) << "the first chunk and the seven that found no thread";
}

TEST(ParallelForRows, ABodyFailureReachesTheCallerAfterEveryThreadJoined) {
    std::atomic<int> finished{0};
    const auto body = [&](int from, int) {
        if (from == 0) throw std::runtime_error("row 0");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ++finished;
    };
    EXPECT_THROW(detail::parallelForRows(0, 400, body, 4, startNormally), std::runtime_error);
    EXPECT_EQ(finished.load(), 3);
    EXPECT_THROW(parallelForRows(0, 10, [](int, int) { throw std::logic_error("serial"); }), std::logic_error);
}

} // namespace
} // namespace tavro::gui
