#pragma once
// What every GPU module of the engine shares: the image descriptors, the
// process-wide cache of device buffers, the uniform CUDA failure message and the
// host-memory figures that bound how much GPU work is attempted at once.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavro {

struct ImageSize {
    int32_t width = 0;
    int32_t height = 0;
};

// A row-major float image, either whole in memory or produced a band of rows at
// a time. Engine entries refuse a source with neither.
struct ImageSource {
    // Writes rows [firstRow, endRow), each of the image's width, one after another to dst.
    using RowProvider = std::function<void(float* dst, int firstRow, int endRow)>;

    const float* pixels = nullptr;
    RowProvider rowProvider;

    ImageSource() = default;
    explicit ImageSource(const float* wholeImage) : pixels(wholeImage) {}
    explicit ImageSource(RowProvider provider) : rowProvider(std::move(provider)) {}

    bool valid() const { return pixels != nullptr || static_cast<bool>(rowProvider); }

    // Rows [firstRow, endRow) of an image `width` wide. A whole image is read in
    // place; otherwise the rows are produced into scratch, which only grows.
    const float* rows(int firstRow, int endRow, int width, std::vector<float>& scratch) const;
};

// Process-wide cache of device buffers. Engine modules never call cudaMalloc
// themselves: they lease from here, so that successive images and row strips
// reuse the same allocations.
class DeviceBufferPool {
public:
    struct Entry {
        void* devicePtr = nullptr;
        uint64_t bytes = 0;
        bool inUse = false;
        int32_t device = 0;
    };

    // Owns one entry of the pool until released, moved from or destroyed.
    class Lease {
    public:
        Lease() noexcept = default;
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&& other) noexcept;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease();

        // Device pointer of the held buffer; null when the lease holds nothing or
        // its entry was dropped by releaseAll.
        void* get() const;
        template <class T>
        T* as() const {
            return static_cast<T*>(get());
        }
        // Marks the buffer idle in the pool; it stays cached for later acquires.
        void release() noexcept;

        DeviceBufferPool* pool() const noexcept { return pool_; }
        int64_t index() const noexcept { return index_; }

    private:
        friend class DeviceBufferPool;
        Lease(DeviceBufferPool* owner, int64_t entryIndex, uint64_t generation) noexcept
            : pool_(owner), index_(entryIndex), generation_(generation) {}

        DeviceBufferPool* pool_ = nullptr;
        int64_t index_ = -1;
        // The pool's generation when the lease was taken: releaseAll starts a new
        // one, so a lease that outlived it can never reach a reused index.
        uint64_t generation_ = 0;
    };

    static DeviceBufferPool& instance();

    // First idle buffer of the current device at least `bytes` large, else a new
    // one. Returns a CUDA error code (0 on success); on failure `lease` is untouched.
    int acquire(uint64_t bytes, Lease& lease);

    // Frees every buffer, held or not, and forgets every entry. Only between computations.
    void releaseAll();
    // Frees the idle buffers of the current device; their entries stay, emptied.
    void releaseIdle();

    DeviceBufferPool(const DeviceBufferPool&) = delete;
    DeviceBufferPool& operator=(const DeviceBufferPool&) = delete;

private:
    DeviceBufferPool() = default;
    ~DeviceBufferPool();

    void releaseEntry(int64_t index, uint64_t generation) noexcept;
    void* entryPointer(int64_t index, uint64_t generation);

    std::mutex mutex_;
    std::vector<Entry> entries_;
    uint64_t generation_ = 1;
};

// The runtime's name and description of an error code; a code it does not
// know (answered with nothing or with "unrecognized error code", which says no
// more) gets "unrecognized CUDA error code" and "no description available".
const char* cudaErrorNameOrFallback(int error);
const char* cudaErrorDescription(int error);

// "step: name - description" for a failed CUDA call, also printed to standard
// error as "[CUDA ERROR] step: name - description".
std::string cudaErrorMessage(int error, const char* step);

// Bytes of memory the process may still commit; 0 when unknown.
uint64_t availableCommitMemory();

// Number of GPU threads running at once (at least 1); the memory gates divide
// the commit memory among them.
int gpuWorkerCount();

// What the memory gates of the searches may use on the current device: the
// TAVRO_TILE_BUDGET_MB budget when set, else half of the free device memory,
// bounded by this GPU thread's share of the commit memory.
struct MemoryBudget {
    uint64_t bytes = 0;
    bool fromEnvironment = false;
    uint64_t freeBytes = 0;
    uint64_t commitBytes = 0;
};
MemoryBudget deviceMemoryBudget();
void setGpuWorkerCount(int n);

namespace detail {
// The figure availableCommitMemory reports, from the text of /proc/meminfo.
uint64_t commitMemoryFromMeminfo(std::string_view meminfo, bool strictOvercommit);
}

} // namespace tavro
