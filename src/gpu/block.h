#pragma once
// Block programs: kernels whose threads cooperate are written for the whole
// block, phase by phase. On the GPU a phase is the body run by every thread
// followed by a barrier; on the CPU the kernel runs once per block and a phase
// is a loop over the thread indices, so shared storage is plain local storage.
//
// Rules that keep both builds equal:
//  - state that crosses a phase lives in PerThread or in shared storage;
//  - inside a body use the index it receives, never threadIdx;
//  - early exits and loop counts are block-uniform;
//  - block sizes are multiples of 32 (powers of two for the tree reductions).

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "gpu/runtime_base.h"

namespace tavro::gpu {

template <class T>
class PerThread;

template <class T, class P>
struct ArgMaxResult {
    T score;
    P payload;
    int thread;
};

#if defined(__CUDACC__)

class Block {
public:
    __device__ __forceinline__ Block()
        : size_(static_cast<int>(blockDim.x * blockDim.y * blockDim.z)),
          tid_(static_cast<int>(threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z))) {}

    __device__ __forceinline__ int size() const { return size_; }
    __device__ __forceinline__ void sync() const { __syncthreads(); }

    template <class F>
    __device__ __forceinline__ void forEachThread(F&& body) const {
        body(tid_);
        __syncthreads();
    }
    template <class F>
    __device__ __forceinline__ void forEachThreadNoSync(F&& body) const {
        body(tid_);
    }
    template <class F>
    __device__ __forceinline__ void single(F&& body) const {
        if (tid_ == 0) body();
        __syncthreads();
    }

    template <class T>
    __device__ __forceinline__ T* dynamicShared() const {
        extern __shared__ __align__(16) unsigned char tavroDynamicShared[];
        return reinterpret_cast<T*>(tavroDynamicShared);
    }

    // Warp shuffles down (16 .. 1), one partial per warp in shared memory, then
    // warp 0 sums the partials the same way. Every thread receives the total.
    template <class T>
    __device__ T reduceSum(const PerThread<T>& v) const {
        return reduceWarps(v.value_, [](T a, T b) { return a + b; }, false);
    }
    template <class T>
    __device__ T reduceMax(const PerThread<T>& v) const {
        return reduceWarps(v.value_, [](T a, T b) { return a > b ? a : b; }, true);
    }

    // Shared-memory tree with the stride halving from size / 2 to 1.
    template <int MaxThreads, class T>
    __device__ T reduceSumTree(const PerThread<T>& v) const {
        __shared__ T s[MaxThreads];
        s[tid_] = v.value_;
        __syncthreads();
        for (int stride = size_ / 2; stride > 0; stride >>= 1) {
            if (tid_ < stride) s[tid_] += s[tid_ + stride];
            __syncthreads();
        }
        const T total = s[0];
        __syncthreads();
        return total;
    }

    // Same tree; a candidate is replaced only by a strictly greater one, so
    // ties keep the lower slot.
    template <int MaxThreads, class T, class P>
    __device__ ArgMaxResult<T, P> argMax(const PerThread<T>& score, const PerThread<P>& payload) const {
        __shared__ T s[MaxThreads];
        __shared__ P p[MaxThreads];
        __shared__ int th[MaxThreads];
        s[tid_] = score.value_;
        p[tid_] = payload.value_;
        th[tid_] = tid_;
        __syncthreads();
        for (int stride = size_ / 2; stride > 0; stride >>= 1) {
            if (tid_ < stride && s[tid_ + stride] > s[tid_]) {
                s[tid_] = s[tid_ + stride];
                p[tid_] = p[tid_ + stride];
                th[tid_] = th[tid_ + stride];
            }
            __syncthreads();
        }
        ArgMaxResult<T, P> r{s[0], p[0], th[0]};
        __syncthreads();
        return r;
    }

private:
    // Lanes of warp 0 without a partial hold 0 for a sum and, for a maximum,
    // warp 0's own partial, which cannot change the result.
    template <class T, class Op>
    __device__ T reduceWarps(T v, Op op, bool padWithFirst) const {
        __shared__ T slots[33];
        for (int o = warpSize / 2; o > 0; o >>= 1) v = op(v, __shfl_down_sync(0xffffffffu, v, o));
        const int lane = tid_ & 31;
        const int warp = tid_ >> 5;
        if (lane == 0) slots[warp] = v;
        __syncthreads();
        if (warp == 0) {
            const int warps = (size_ + warpSize - 1) / warpSize;
            T w = lane < warps ? slots[lane] : (padWithFirst ? slots[0] : T(0));
            for (int o = warpSize / 2; o > 0; o >>= 1) w = op(w, __shfl_down_sync(0xffffffffu, w, o));
            if (lane == 0) slots[32] = w;
        }
        __syncthreads();
        return slots[32];
    }

    int size_;
    int tid_;
};

// One value per thread: a register on the GPU. The index must be the thread's own.
template <class T>
class PerThread {
public:
    __device__ __forceinline__ explicit PerThread(const Block&) {}
    __device__ __forceinline__ PerThread(const Block&, T init) : value_(init) {}
    __device__ __forceinline__ T& operator[](int) { return value_; }
    __device__ __forceinline__ const T& operator[](int) const { return value_; }

private:
    friend class Block;
    T value_;
};

#elif !defined(TAVRO_USE_CUDA) // CPU build

namespace detail {
// Per-host-thread storage for PerThread arrays, reset before every block.
void* blockArenaAllocate(size_t bytes);
void markBlockProgram();
bool reversePhaseOrder();
void* dynamicSharedMemory();

template <class T>
struct FourLanes;
template <>
struct FourLanes<float> {
    typedef float type __attribute__((vector_size(16)));
};
template <>
struct FourLanes<int> {
    typedef int type __attribute__((vector_size(16)));
};
} // namespace detail

class Block {
public:
    Block() : size_(static_cast<int>(blockDim.x * blockDim.y * blockDim.z)) { detail::markBlockProgram(); }

    int size() const { return size_; }
    void sync() const {}

    template <class F>
    void forEachThread(F&& body) const {
        // The reverse order (a debug switch) exposes a phase in which one thread
        // reads what another writes without a barrier between them.
        // It cannot expose a missing barrier after a no-sync phase: on the CPU
        // every phase ends before the next one starts.
        if (detail::reversePhaseOrder()) {
            for (int t = size_ - 1; t >= 0; --t) body(t);
        } else {
            for (int t = 0; t < size_; ++t) body(t);
        }
    }
    template <class F>
    void forEachThreadNoSync(F&& body) const {
        forEachThread(static_cast<F&&>(body));
    }
    template <class F>
    void single(F&& body) const {
        body();
    }

    template <class T>
    T* dynamicShared() const {
        return static_cast<T*>(detail::dynamicSharedMemory());
    }

    // The operations also take vectors of lanes (reduceLanes).
    template <class T>
    T reduceSum(const PerThread<T>& v) const {
        return reduceWarps(v, [](auto a, auto b) { return a + b; }, false);
    }
    template <class T>
    T reduceMax(const PerThread<T>& v) const {
        return reduceWarps(v, [](auto a, auto b) { return a > b ? a : b; }, true);
    }

    template <int MaxThreads, class T>
    T reduceSumTree(const PerThread<T>& v) const {
        T s[MaxThreads];
        for (int t = 0; t < size_; ++t) s[t] = v[t];
        for (int stride = size_ / 2; stride > 0; stride >>= 1)
            for (int t = 0; t < stride; ++t) s[t] += s[t + stride];
        return s[0];
    }

    template <int MaxThreads, class T, class P>
    ArgMaxResult<T, P> argMax(const PerThread<T>& score, const PerThread<P>& payload) const {
        T s[MaxThreads];
        int th[MaxThreads];
        for (int t = 0; t < size_; ++t) {
            s[t] = score[t];
            th[t] = t;
        }
        for (int stride = size_ / 2; stride > 0; stride >>= 1)
            for (int t = 0; t < stride; ++t)
                if (s[t + stride] > s[t]) {
                    s[t] = s[t + stride];
                    th[t] = th[t + stride];
                }
        return {s[0], payload[th[0]], th[0]};
    }

private:
    // The same association as the warp shuffles: lane l takes lane l + o for
    // o = 16 .. 1, then warp 0 combines the per-warp partials, missing ones
    // padded as on the GPU.
    template <class T, class Op>
    T reduceWarps(const PerThread<T>& v, Op op, bool padWithFirst) const {
        T partial[32];
        const int warps = (size_ + 31) / 32;
        for (int w = 0; w < warps; ++w) partial[w] = reduceLanes(&v[w * 32], op);
        for (int w = warps; w < 32; ++w) partial[w] = padWithFirst ? partial[0] : T(0);
        return reduceLanes(partial, op);
    }
    // Levels 16, 8 and 4 as whole vectors of four lanes, op applied lane by lane.
    template <class T, class Op>
    static T reduceLanes(const T* in, Op op) {
        if constexpr (std::is_same_v<T, float> || std::is_same_v<T, int>) {
            using Lanes = typename detail::FourLanes<T>::type;
            Lanes v[8];
            std::memcpy(v, in, sizeof v);
            const Lanes a0 = op(v[0], v[4]), a1 = op(v[1], v[5]), a2 = op(v[2], v[6]), a3 = op(v[3], v[7]);
            const Lanes b = op(op(a0, a2), op(a1, a3));
            return op(op(b[0], b[2]), op(b[1], b[3]));
        } else {
            T lanes[32];
            for (int l = 0; l < 32; ++l) lanes[l] = in[l];
            for (int o = 16; o > 0; o >>= 1)
                for (int l = 0; l < o; ++l) lanes[l] = op(lanes[l], lanes[l + o]);
            return lanes[0];
        }
    }

    int size_;
};

template <class T>
class PerThread {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "per-thread values live in raw block storage");

public:
    explicit PerThread(const Block& block)
        : data_(static_cast<T*>(detail::blockArenaAllocate(sizeof(T) * static_cast<size_t>(padded(block))))) {
        for (int t = block.size(), n = padded(block); t < n; ++t) data_[t] = T{};
    }
    PerThread(const Block& block, T init) : PerThread(block) {
        for (int t = 0, n = padded(block); t < n; ++t) data_[t] = init;
    }
    PerThread(const PerThread&) = delete;
    PerThread& operator=(const PerThread&) = delete;

    T& operator[](int t) { return data_[t]; }
    const T& operator[](int t) const { return data_[t]; }

private:
    // Whole warps, so a reduction never reads past the array.
    static int padded(const Block& block) { return (block.size() + 31) / 32 * 32; }
    T* data_;
};

#endif // host code of the CUDA build has no block programs

} // namespace tavro::gpu
