// Kernel launches of the CPU device runtime: the blocks of a grid are spread
// over a pool of host threads; the launching thread works too and returns when
// every block has run.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gpu/block.h"
#include "gpu/cpu_launch.h"
#include "gpu/cpu_state.h"

thread_local uint3 threadIdx{0, 0, 0};
thread_local uint3 blockIdx{0, 0, 0};
thread_local dim3 blockDim{1, 1, 1};
thread_local dim3 gridDim{1, 1, 1};

namespace tavro::gpu::detail {
namespace {

bool envFlag(const char* name) {
    const char* v = std::getenv(name);
    return v && *v == '1';
}

// TAVRO_REVERSE_PHASES=1 turns the debug order on for a whole test run.
std::atomic<bool> gReversePhases{envFlag("TAVRO_REVERSE_PHASES")};

struct AlignedFree {
    void operator()(void* p) const { ::operator delete[](p, std::align_val_t{64}); }
};
using AlignedBuffer = std::unique_ptr<unsigned char[], AlignedFree>;

AlignedBuffer alignedBuffer(size_t bytes) {
    return AlignedBuffer(static_cast<unsigned char*>(::operator new[](bytes, std::align_val_t{64})));
}

// Storage of the per-thread arrays of the block being run; reset before each block.
struct Arena {
    AlignedBuffer main;
    size_t capacity = 0;
    size_t used = 0;
    std::vector<AlignedBuffer> overflow;
    size_t overflowBytes = 0;

    void reset() {
        if (!overflow.empty()) {
            capacity = (capacity + overflowBytes) * 2;
            main = alignedBuffer(capacity);
            overflow.clear();
            overflowBytes = 0;
        }
        used = 0;
    }
    void* allocate(size_t bytes) {
        bytes = (bytes + 63) / 64 * 64;
        if (used + bytes <= capacity) {
            void* p = main.get() + used;
            used += bytes;
            return p;
        }
        overflow.push_back(alignedBuffer(bytes));
        overflowBytes += bytes;
        return overflow.back().get();
    }
};

struct BlockContext {
    Arena arena;
    AlignedBuffer shared;
    size_t sharedCapacity = 0;
    bool blockProgram = false;
    bool blockMarked = false;
};
thread_local BlockContext tlContext;

// The blocks of a grid are split into one contiguous region per worker, taken
// in chunks. A worker starts with its own region, so that successive kernels
// over the same frames find them in that core's cache, and then helps with the
// others' regions, so that a late or descheduled worker delays a launch by one
// chunk at most.
constexpr int kMaxRegions = 64;
constexpr uint64_t kChunksPerRegion = 8;

struct alignas(64) Region {
    std::atomic<uint64_t> next{0};
    uint64_t end = 0;
};

struct Job {
    const char* name;
    dim3 grid;
    dim3 block;
    size_t sharedBytes;
    bool blockProgram;
    BlockRunner runner;
    void* state;
    uint64_t total;
    uint64_t chunk;
    int regionCount = 1;
    Region regions[kMaxRegions];
    std::atomic<int> users{0};
    std::mutex failureMutex;
    std::string failure;

    void split(int workers) {
        regionCount = std::clamp(workers, 1, kMaxRegions);
        const uint64_t perRegion = total / uint64_t(regionCount), extra = total % uint64_t(regionCount);
        chunk = std::max<uint64_t>(1, perRegion / kChunksPerRegion);
        uint64_t begin = 0;
        for (int r = 0; r < regionCount; ++r) {
            regions[r].next.store(begin, std::memory_order_relaxed);
            begin += perRegion + (uint64_t(r) < extra ? 1 : 0);
            regions[r].end = begin;
        }
    }
    bool pending() const {
        for (int r = 0; r < regionCount; ++r)
            if (regions[r].next.load(std::memory_order_relaxed) < regions[r].end) return true;
        return false;
    }
};

void recordFailure(Job& job, const std::string& what) {
    std::lock_guard lock(job.failureMutex);
    if (job.failure.empty()) job.failure = what.empty() ? std::string("unknown exception") : what;
}

void runBlocks(Job& job, BlockContext& ctx, uint64_t first, uint64_t last) {
    const unsigned gx = job.grid.x, gy = job.grid.y;
    unsigned x = static_cast<unsigned>(first % gx), y = static_cast<unsigned>((first / gx) % gy),
             z = static_cast<unsigned>(first / (uint64_t(gx) * gy));
    for (uint64_t b = first; b < last; ++b) {
        blockIdx = uint3{x, y, z};
        ctx.arena.reset();
        ctx.blockMarked = false;
        try {
            job.runner(job.state);
            if (job.blockProgram && !ctx.blockMarked)
                recordFailure(job, "an element-wise kernel was launched as a block program");
        } catch (const std::exception& e) {
            recordFailure(job, e.what());
        } catch (...) {
            recordFailure(job, {});
        }
        if (++x == gx) {
            x = 0;
            if (++y == gy) {
                y = 0;
                ++z;
            }
        }
    }
}

// Runs chunks of blocks, from region `home` on, until none is left.
void work(Job& job, int home) {
    BlockContext& ctx = tlContext;
    if (ctx.sharedCapacity < job.sharedBytes) {
        ctx.shared = alignedBuffer(job.sharedBytes);
        ctx.sharedCapacity = job.sharedBytes;
    }
    blockDim = job.block;
    gridDim = job.grid;
    ctx.blockProgram = job.blockProgram;
    // Block programs must not read threadIdx; a far index makes a slip fault at once.
    threadIdx = job.blockProgram ? uint3{1u << 30, 1u << 30, 1u << 30} : uint3{0, 0, 0};
    for (int k = 0; k < job.regionCount; ++k) {
        Region& region = job.regions[(home + k) % job.regionCount];
        for (;;) {
            const uint64_t first = region.next.fetch_add(job.chunk, std::memory_order_relaxed);
            if (first >= region.end) break;
            runBlocks(job, ctx, first, std::min(region.end, first + job.chunk));
        }
    }
    ctx.blockProgram = false;
}

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Kernels come in quick succession (an FFT is a dozen launches), so idle helpers
// spin for a while before they sleep: waking sleeping threads costs tens of
// microseconds per launch.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(200);

class LaunchPool {
public:
    explicit LaunchPool(int threads) {
        for (int i = 1; i < threads; ++i) workers_.emplace_back([this, i] { loop(i); });
    }
    ~LaunchPool() {
        {
            std::lock_guard lock(mutex_);
            stop_.store(true);
        }
        epoch_.fetch_add(1);
        wake_.notify_all();
        for (auto& t : workers_) t.join();
    }
    int helpers() const { return static_cast<int>(workers_.size()); }

    void run(Job& job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(&job);
        }
        // Sequentially consistent with the sleepers' count and the helpers' check
        // of the epoch, so a helper either sees the new epoch or is woken.
        epoch_.fetch_add(1);
        if (sleepers_.load() > 0) {
            std::lock_guard lock(mutex_);
            wake_.notify_all();
        }
        work(job, 0);
        {
            std::lock_guard lock(mutex_);
            std::erase(jobs_, &job);
        }
        // Helpers that took the job may still be finishing their last blocks;
        // none can take it any more.
        for (unsigned spins = 0; job.users.load(std::memory_order_acquire) != 0; ++spins) {
            if (spins < 4096)
                cpuRelax();
            else
                std::this_thread::yield();
        }
    }

private:
    Job* take() {
        std::lock_guard lock(mutex_);
        for (Job* job : jobs_)
            if (job->pending()) {
                job->users.fetch_add(1);
                return job;
            }
        return nullptr;
    }

    bool waitForEpoch(uint64_t seen) {
        const auto until = std::chrono::steady_clock::now() + kSpinBeforeSleep;
        for (unsigned spins = 1;; ++spins) {
            if (epoch_.load() != seen) return !stop_.load();
            cpuRelax();
            if (spins % 256 == 0 && std::chrono::steady_clock::now() > until) break;
        }
        std::unique_lock lock(mutex_);
        sleepers_.fetch_add(1);
        wake_.wait(lock, [&] { return stop_.load() || epoch_.load() != seen; });
        sleepers_.fetch_sub(1);
        return !stop_.load();
    }

    void loop(int index) {
        for (;;) {
            const uint64_t seen = epoch_.load();
            if (Job* job = take()) {
                work(*job, index);
                job->users.fetch_sub(1, std::memory_order_release);
                continue;
            }
            if (!waitForEpoch(seen)) return;
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Job*> jobs_;
    std::vector<std::thread> workers_;
    std::atomic<uint64_t> epoch_{0};
    std::atomic<int> sleepers_{0};
    std::atomic<bool> stop_{false};
};

std::mutex poolMutex;
LaunchPool* gPool = nullptr;

} // namespace

void startLaunchPool(int threads) {
    std::lock_guard lock(poolMutex);
    if (gPool && gPool->helpers() == threads - 1) return;
    // Reconfiguration happens only while no launch runs.
    delete gPool;
    gPool = new LaunchPool(threads);
}

void* blockArenaAllocate(size_t bytes) { return tlContext.arena.allocate(bytes); }

void markBlockProgram() {
    if (!tlContext.blockProgram)
        throw std::logic_error("a block program was launched as an element-wise kernel");
    tlContext.blockMarked = true;
}

bool reversePhaseOrder() { return gReversePhases.load(std::memory_order_relaxed); }

void* dynamicSharedMemory() { return tlContext.shared.get(); }

cudaError_t validateLaunch(const char* name, const void* func, dim3 grid, dim3 block, size_t sharedBytes) {
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    const int device = currentDeviceRef();
    if (s.devices.empty()) return cudaErrorNoDevice;
    if (device < 0 || device >= static_cast<int>(s.devices.size())) return cudaErrorInvalidDevice;
    const uint64_t threads = uint64_t(block.x) * block.y * block.z;
    if (block.x == 0 || block.y == 0 || block.z == 0 || block.x > 1024 || block.y > 1024 || block.z > 64 ||
        threads > 1024 || grid.x == 0 || grid.y == 0 || grid.z == 0 || grid.x > 2147483647u || grid.y > 65535 ||
        grid.z > 65535)
        return cudaErrorInvalidConfiguration;
    const auto limit = s.dynamicSharedLimits.find({device, func});
    const size_t allowed = limit != s.dynamicSharedLimits.end() ? size_t(limit->second) : 49152;
    if (sharedBytes > allowed) {
        std::fprintf(stderr, "[CPU device] %s: %zu bytes of dynamic shared memory exceed the limit of %zu\n", name,
                     sharedBytes, allowed);
        return cudaErrorInvalidValue;
    }
    return cudaSuccess;
}

cudaError_t reportHostPointerArgument(const char* name, int position) {
    std::fprintf(stderr, "[CPU device] %s: argument %d is a pointer to neither device nor pinned host memory\n",
                 name, position);
    return cudaErrorIllegalAddress;
}

cudaError_t setFunctionAttribute(const void* func, cudaFuncAttribute attr, int value) {
    if (!func) return fail(cudaErrorInvalidDeviceFunction);
    RuntimeState& s = state();
    std::lock_guard lock(s.mutex);
    const int device = currentDeviceRef();
    if (device < 0 || device >= static_cast<int>(s.devices.size())) return fail(cudaErrorInvalidDevice);
    if (attr == cudaFuncAttributeMaxDynamicSharedMemorySize) {
        if (value < 0 || uint64_t(value) > s.devices[size_t(device)].settings.sharedMemPerBlockOptin)
            return fail(cudaErrorInvalidValue);
        s.dynamicSharedLimits[{device, func}] = value;
        return cudaSuccess;
    }
    if (attr == cudaFuncAttributePreferredSharedMemoryCarveout) {
        return value >= -1 && value <= 100 ? cudaSuccess : fail(cudaErrorInvalidValue);
    }
    return fail(cudaErrorInvalidValue);
}

cudaError_t runGrid(const char* name, dim3 grid, dim3 block, size_t sharedBytes, bool blockProgram,
                    BlockRunner runner, void* state) {
    Job job;
    job.name = name;
    job.grid = grid;
    job.block = block;
    job.sharedBytes = sharedBytes;
    job.blockProgram = blockProgram;
    job.runner = runner;
    job.state = state;
    job.total = uint64_t(grid.x) * grid.y * grid.z;
    LaunchPool* pool;
    {
        std::lock_guard lock(poolMutex);
        pool = gPool;
    }
    const int workers = (pool ? pool->helpers() : 0) + 1;
    if (workers == 1 || job.total == 1) {
        job.split(1);
        job.chunk = job.total;
        work(job, 0);
    } else {
        job.split(workers);
        pool->run(job);
    }
    if (!job.failure.empty()) {
        std::fprintf(stderr, "[CPU device] kernel %s failed: %s\n", name, job.failure.c_str());
        return cudaErrorLaunchFailure;
    }
    return cudaSuccess;
}

} // namespace tavro::gpu::detail

namespace tavro::gpu {
void setReversePhaseOrder(bool reverse) { detail::gReversePhases.store(reverse); }
} // namespace tavro::gpu
