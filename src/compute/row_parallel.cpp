#include "compute/row_parallel.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <utility>

namespace tavro::gui {
namespace {

constexpr int kSerialRows = 64;
constexpr unsigned kMaxThreads = 16;

// Joins on every way out, so that no running thread outlives the call.
class Joiner {
public:
    // Reserved up front: a thread that started must never be lost to a failed push_back.
    explicit Joiner(size_t capacity) { threads_.reserve(capacity); }
    ~Joiner() {
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
    }
    void add(std::thread t) { threads_.push_back(std::move(t)); }

private:
    std::vector<std::thread> threads_;
};

} // namespace

namespace detail {

std::vector<RowChunk> planRowChunks(int begin, int end, unsigned hardwareThreads) {
    const long long n = static_cast<long long>(end) - begin;
    if (n < 1) return {};
    const long long threads = std::min<long long>(n, std::clamp(hardwareThreads, 1u, kMaxThreads));
    if (n < kSerialRows || threads < 2) return {{begin, end}};
    const long long chunk = (n - 1 + threads) / threads;
    std::vector<RowChunk> chunks;
    for (long long start = begin; start < end && static_cast<long long>(chunks.size()) < threads; start += chunk)
        chunks.push_back({static_cast<int>(start), static_cast<int>(std::min<long long>(start + chunk, end))});
    return chunks;
}

void parallelForRows(int begin, int end, const RowRangeBody& body, unsigned hardwareThreads,
                     const ThreadStarter& startThread) {
    const std::vector<RowChunk> chunks = planRowChunks(begin, end, hardwareThreads);
    if (chunks.empty()) return;
    if (chunks.size() == 1) {
        body(chunks[0].begin, chunks[0].end);
        return;
    }

    std::mutex failureMutex;
    std::exception_ptr failure;
    auto guarded = [&](const RowChunk& c) {
        try {
            body(c.begin, c.end);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(failureMutex);
            if (!failure) failure = std::current_exception();
        }
    };

    size_t started = 1;
    {
        Joiner joiner(chunks.size());
        for (; started < chunks.size(); ++started) {
            const RowChunk c = chunks[started];
            try {
                joiner.add(startThread([&guarded, c] { guarded(c); }));
            } catch (...) {
                break;
            }
        }
        guarded(chunks[0]);
        for (size_t k = started; k < chunks.size(); ++k) guarded(chunks[k]);
    }
    if (failure) std::rethrow_exception(failure);
}

} // namespace detail

void parallelForRows(int begin, int end, const RowRangeBody& body) {
    detail::parallelForRows(begin, end, body, std::thread::hardware_concurrency(),
                            [](std::function<void()> run) { return std::thread(std::move(run)); });
}

} // namespace tavro::gui
