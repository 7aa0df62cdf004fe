#include "core/gpu_common.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <system_error>

#include "core/multi_gpu_log.h"
#include "gpu/runtime.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tavro {
namespace {

// Set once the pool's exit-time destructor has run: a lease kept in some other
// static object may be destroyed after it and must not touch the dead mutex.
std::atomic<bool> poolDestroyed{false};

std::atomic<int> workerCount{1};

} // namespace

const float* ImageSource::rows(int firstRow, int endRow, int width, std::vector<float>& scratch) const {
    if (pixels) return pixels + static_cast<int64_t>(firstRow) * static_cast<int64_t>(width);
    const int64_t rowCount = std::max<int64_t>(0, static_cast<int64_t>(endRow) - firstRow);
    const uint64_t needed = static_cast<uint64_t>(rowCount) * static_cast<uint64_t>(std::max(0, width));
    if (scratch.size() < needed) scratch.resize(needed, 0.0f);
    if (rowProvider) rowProvider(scratch.data(), firstRow, endRow);
    return scratch.data();
}

DeviceBufferPool::Lease::Lease(Lease&& other) noexcept
    : pool_(other.pool_), index_(other.index_), generation_(other.generation_) {
    other.pool_ = nullptr;
    other.index_ = -1;
    other.generation_ = 0;
}

DeviceBufferPool::Lease& DeviceBufferPool::Lease::operator=(Lease&& other) noexcept {
    if (this == &other) return *this;
    release();
    pool_ = other.pool_;
    index_ = other.index_;
    generation_ = other.generation_;
    other.pool_ = nullptr;
    other.index_ = -1;
    other.generation_ = 0;
    return *this;
}

DeviceBufferPool::Lease::~Lease() { release(); }

void* DeviceBufferPool::Lease::get() const {
    return pool_ ? pool_->entryPointer(index_, generation_) : nullptr;
}

void DeviceBufferPool::Lease::release() noexcept {
    if (!pool_) return;
    pool_->releaseEntry(index_, generation_);
    pool_ = nullptr;
    index_ = -1;
    generation_ = 0;
}

DeviceBufferPool& DeviceBufferPool::instance() {
    static DeviceBufferPool pool;
    return pool;
}

DeviceBufferPool::~DeviceBufferPool() {
    {
        std::lock_guard lock(mutex_);
        // At exit the CUDA runtime may already be torn down; a failed free has
        // nobody left to report to.
        for (const Entry& e : entries_)
            if (e.devicePtr) (void)cudaFree(e.devicePtr);
        entries_.clear();
    }
    poolDestroyed.store(true);
}

int DeviceBufferPool::acquire(uint64_t bytes, Lease& lease) {
    int device = 0;
    const cudaError_t deviceStatus = cudaGetDevice(&device);
    if (deviceStatus != cudaSuccess) return static_cast<int>(deviceStatus);

    Lease taken;
    {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < entries_.size(); ++i) {
            Entry& e = entries_[i];
            if (!e.inUse && e.device == device && e.bytes >= bytes) {
                e.inUse = true;
                taken = Lease(this, static_cast<int64_t>(i), generation_);
                break;
            }
        }
        if (!taken.pool_) {
            void* ptr = nullptr;
            const cudaError_t status = cudaMalloc(&ptr, static_cast<size_t>(bytes));
            if (status != cudaSuccess) return static_cast<int>(status);
            try {
                entries_.push_back(Entry{ptr, bytes, true, device});
            } catch (...) {
                (void)cudaFree(ptr);
                throw;
            }
            taken = Lease(this, static_cast<int64_t>(entries_.size() - 1), generation_);
        }
    }
    // Outside the lock: replacing what `lease` held releases it, which locks again.
    lease = std::move(taken);
    return 0;
}

void DeviceBufferPool::releaseAll() {
    std::lock_guard lock(mutex_);
    for (const Entry& e : entries_)
        if (e.devicePtr) (void)cudaFree(e.devicePtr);
    entries_.clear();
    ++generation_;
}

void DeviceBufferPool::releaseIdle() {
    int device = 0;
    if (cudaGetDevice(&device) != cudaSuccess) return;
    std::lock_guard lock(mutex_);
    for (Entry& e : entries_) {
        if (e.inUse || e.device != device || !e.devicePtr) continue;
        (void)cudaFree(e.devicePtr);
        e.devicePtr = nullptr;
        e.bytes = 0;
    }
}

void DeviceBufferPool::releaseEntry(int64_t index, uint64_t generation) noexcept {
    if (poolDestroyed.load()) return;
    std::lock_guard lock(mutex_);
    if (generation != generation_ || index < 0 || static_cast<uint64_t>(index) >= entries_.size()) return;
    entries_[static_cast<size_t>(index)].inUse = false;
}

void* DeviceBufferPool::entryPointer(int64_t index, uint64_t generation) {
    if (poolDestroyed.load()) return nullptr;
    std::lock_guard lock(mutex_);
    if (generation != generation_ || index < 0 || static_cast<uint64_t>(index) >= entries_.size()) return nullptr;
    return entries_[static_cast<size_t>(index)].devicePtr;
}

namespace {

bool knownErrorText(const char* text) { return text && *text && std::strcmp(text, "unrecognized error code") != 0; }

} // namespace

const char* cudaErrorNameOrFallback(int error) {
    const char* name = cudaGetErrorName(static_cast<cudaError_t>(error));
    return knownErrorText(name) ? name : "unrecognized CUDA error code";
}

const char* cudaErrorDescription(int error) {
    const char* text = cudaGetErrorString(static_cast<cudaError_t>(error));
    return knownErrorText(text) ? text : "no description available";
}

std::string cudaErrorMessage(int error, const char* step) {
    const char* name = cudaErrorNameOrFallback(error);
    const char* description = cudaErrorDescription(error);
    if (!step) step = "";
    std::fprintf(stderr, "[CUDA ERROR] %s: %s - %s\n", step, name, description);
    std::string message(step);
    message += ": ";
    message += name;
    message += " - ";
    message += description;
    return message;
}

namespace detail {

uint64_t commitMemoryFromMeminfo(std::string_view meminfo, bool strictOvercommit) {
    auto kibibytes = [&](std::string_view key, uint64_t& value) {
        size_t at = 0;
        while ((at = meminfo.find(key, at)) != std::string_view::npos) {
            const bool lineStart = at == 0 || meminfo[at - 1] == '\n';
            const size_t after = at + key.size();
            if (lineStart && after < meminfo.size() && meminfo[after] == ':') {
                std::istringstream in(std::string(meminfo.substr(after + 1, 32)));
                return static_cast<bool>(in >> value);
            }
            at = after;
        }
        return false;
    };
    auto bytes = [](uint64_t kib) {
        return kib > std::numeric_limits<uint64_t>::max() / 1024 ? std::numeric_limits<uint64_t>::max() : kib * 1024;
    };

    // Under strict overcommit the kernel refuses allocations past CommitLimit, so
    // the headroom is exactly what is left of it. Under the heuristic modes that
    // limit is never enforced and what bounds us is memory that can be backed
    // without the OOM killer: reclaimable RAM (MemAvailable) plus free swap.
    if (strictOvercommit) {
        uint64_t limit = 0, committed = 0;
        if (!kibibytes("CommitLimit", limit) || !kibibytes("Committed_AS", committed)) return 0;
        return limit > committed ? bytes(limit - committed) : 0;
    }
    uint64_t available = 0, swapFree = 0;
    if (!kibibytes("MemAvailable", available) && !kibibytes("MemFree", available)) return 0;
    kibibytes("SwapFree", swapFree);
    const uint64_t total = bytes(available) + bytes(swapFree);
    return total < bytes(available) ? std::numeric_limits<uint64_t>::max() : total;
}

} // namespace detail

uint64_t availableCommitMemory() {
#if defined(_WIN32)
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    return GlobalMemoryStatusEx(&status) ? static_cast<uint64_t>(status.ullAvailPageFile) : 0;
#else
    std::ifstream meminfoFile("/proc/meminfo");
    if (!meminfoFile) return 0;
    const std::string meminfo((std::istreambuf_iterator<char>(meminfoFile)), std::istreambuf_iterator<char>());
    int overcommitMode = 0;
    std::ifstream("/proc/sys/vm/overcommit_memory") >> overcommitMode;
    return detail::commitMemoryFromMeminfo(meminfo, overcommitMode == 2);
#endif
}

int gpuWorkerCount() { return workerCount.load(std::memory_order_relaxed); }

void setGpuWorkerCount(int n) { workerCount.store(std::max(1, n), std::memory_order_relaxed); }

MemoryBudget deviceMemoryBudget() {
    MemoryBudget b;
    // Whole megabytes only: atol read "1e3" as 1 and wrapped around on huge values.
    if (const char* env = std::getenv("TAVRO_TILE_BUDGET_MB"); env && *env) {
        constexpr uint64_t kMaxMb = std::numeric_limits<uint64_t>::max() >> 20;
        const char* end = env + std::strlen(env);
        uint64_t mb = 0;
        const auto [stop, ec] = std::from_chars(env, end, mb);
        const bool digitsOnly = stop == end && ec != std::errc::invalid_argument;
        if (!digitsOnly || (ec == std::errc() && mb == 0)) {
            mgpuLog(std::string("TAVRO_TILE_BUDGET_MB=\"") + env +
                    "\" is not a positive whole number of megabytes; ignored");
        } else {
            if (ec == std::errc::result_out_of_range || mb > kMaxMb) {
                mgpuLog(std::string("TAVRO_TILE_BUDGET_MB=") + env + " is out of range; using " +
                        std::to_string(kMaxMb));
                mb = kMaxMb;
            }
            b.bytes = mb << 20;
            b.fromEnvironment = true;
            return b;
        }
    }
    size_t freeBytes = 0, totalBytes = 0;
    if (cudaMemGetInfo(&freeBytes, &totalBytes) != cudaSuccess) {
        (void)cudaGetLastError();
        freeBytes = 0;
    }
    b.freeBytes = freeBytes;
    b.bytes = b.freeBytes / 2;
    b.commitBytes = availableCommitMemory();
    const uint64_t share = b.commitBytes / (2 * uint64_t(std::max(1, gpuWorkerCount())));
    if (share != 0 && share < b.bytes) b.bytes = share;
    return b;
}

} // namespace tavro
