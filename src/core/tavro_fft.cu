#include "core/tavro_fft.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "core/fft_lines.h"
#include "core/gpu_common.h"
#include "gpu/runtime.h"

namespace tavro::fft {
namespace {

using namespace tavro::fft::detail;

constexpr int kThreads = 256;
constexpr unsigned kMaxGridY = 65535;
constexpr int kTile = 32;
// The two Bluestein work buffers together.
constexpr int64_t kWorkBytes = 201326592;
// Longest axis of the mixed-radix path: search frames, not whole images, which
// keep Bluestein's path beyond it.
constexpr int32_t kMixedMaxLength = 256;
// Longest axis whose padded length M = 2^logM still fits an int32.
constexpr int32_t kMaxAxis = 1 << 29;

// Rows of one image, ty per block: bins 0..half of each row, stored transposed
// (bin k of row r at k * rows + r of the image).
__global__ void kRowsR2C_T(const float* __restrict__ input, Complex* __restrict__ output,
                           const Complex* __restrict__ twiddlesHalf, const Complex* __restrict__ twiddlesCols,
                           int rows, int logHalf, int logTy) {
    const Block block;
    const int half = 1 << logHalf, cols = 2 * half, ty = 1 << logTy, tx = static_cast<int>(blockDim.x);
    const int row0 = static_cast<int>(blockIdx.x) << logTy;
    const size_t image = blockIdx.y;
    float* re = block.dynamicShared<float>();
    float* im = re + (static_cast<size_t>(half) << logTy);
    const RealPairs source{input + (image * static_cast<size_t>(rows) + static_cast<size_t>(row0)) * cols, cols};

    loadFirstStages(block, source, re, im, logHalf, logTy, tx, ty, -1.0f);
    radix4Passes(block, re, im, twiddlesHalf, logHalf, logTy, tx, ty, -1.0f);

    Complex* out = output + image * static_cast<size_t>(half + 1) * static_cast<size_t>(rows) + row0;
    writeSplitBins(block, re, im, out, twiddlesCols, half, rows, logTy, ty, tx);
}

// Inverse of kRowsR2C_T: transposed bins 0..half of each row to cols reals.
__global__ void kRowsC2R_T(const Complex* __restrict__ input, float* __restrict__ output,
                           const Complex* __restrict__ twiddlesHalf, const Complex* __restrict__ twiddlesCols,
                           int rows, int logHalf, int logTy) {
    const Block block;
    const int half = 1 << logHalf, cols = 2 * half, ty = 1 << logTy, tx = static_cast<int>(blockDim.x);
    const int row0 = static_cast<int>(blockIdx.x) << logTy;
    const size_t image = blockIdx.y;
    float* re = block.dynamicShared<float>();
    float* im = re + (static_cast<size_t>(half) << logTy);
    const HalfSpectrum source{input + image * static_cast<size_t>(half + 1) * static_cast<size_t>(rows) + row0,
                              twiddlesCols, rows, half};

    loadFirstStages(block, source, re, im, logHalf, logTy, tx, ty, 1.0f);
    radix4Passes(block, re, im, twiddlesHalf, logHalf, logTy, tx, ty, 1.0f);

    // Threads along each row here, so that global memory is written contiguously.
    float* out = output + (image * static_cast<size_t>(rows) + static_cast<size_t>(row0)) * cols;
    const int logTx = log2Exact(tx);
    for (int base = 0; base < half; base += tx) {
        lanes<false>(
            block, logTx, ty, imin(tx, half - base),
            [&](int row) { return SlotAndOffset{row + (base << logTy), row * cols + 2 * base}; },
            [&](const SlotAndOffset& u, int e) {
                out[u.offset + 2 * e] = 2.0f * re[u.slot + (e << logTy)];
                out[u.offset + 2 * e + 1] = 2.0f * im[u.slot + (e << logTy)];
            });
    }
}

// In-place transforms of `lines` contiguous lines of length n = 2^logN, ty per
// block; sign -1 forward, +1 inverse.
// With factor, the lines become the transforms of factor x conj(line).
__global__ void kRowsC2C(Complex* __restrict__ data, const Complex* __restrict__ twiddles, int logN, long long lines,
                         int logTy, float sign, const Complex* __restrict__ factor) {
    const Block block;
    const int n = 1 << logN, tx = static_cast<int>(blockDim.x);
    const long long line0 = static_cast<long long>(blockIdx.x) << logTy;
    const int activeY = static_cast<int>(lines - line0 < (1LL << logTy) ? lines - line0 : (1LL << logTy));
    Complex* block0 = data + static_cast<size_t>(line0) * static_cast<size_t>(n);
    float* re = block.dynamicShared<float>();
    float* im = re + (static_cast<size_t>(n) << logTy);

    if (factor)
        loadFirstStages(block, ProductLines{factor + (block0 - data), block0, n}, re, im, logN, logTy, tx, activeY,
                        sign);
    else
        loadFirstStages(block, ComplexLines{block0, n}, re, im, logN, logTy, tx, activeY, sign);
    radix4Passes(block, re, im, twiddles, logN, logTy, tx, activeY, sign);

    // Threads along each line here, so that global memory is written contiguously.
    const int logTx = log2Exact(tx);
    for (int base = 0; base < n; base += tx) {
        lanes<false>(
            block, logTx, activeY, imin(tx, n - base),
            [&](int line) { return SlotAndOffset{line + (base << logTy), line * n + base}; },
            [&](const SlotAndOffset& u, int e) {
                block0[u.offset + e] = make_float2(re[u.slot + (e << logTy)], im[u.slot + (e << logTy)]);
            });
    }
}

// kRowsR2C_T for a half length of radices 2, 3 and 5.
__global__ void kMixedRowsR2C_T(const float* __restrict__ input, Complex* __restrict__ output,
                                const Complex* __restrict__ twiddlesHalf, const Complex* __restrict__ twiddlesCols,
                                int rows, int half, int logTy) {
    const Block block;
    const int cols = 2 * half, tx = static_cast<int>(blockDim.x);
    const int row0 = static_cast<int>(blockIdx.x) << logTy;
    const int activeY = imin(1 << logTy, rows - row0);
    const size_t image = blockIdx.y;
    const MixedBuffers b = mixedBuffers(block, half, logTy);
    const RealPairs source{input + (image * static_cast<size_t>(rows) + static_cast<size_t>(row0)) * cols, cols};
    const int current = mixedTransform(block, source, b, twiddlesHalf, half, logTy, tx, activeY, -1.0f);
    const float* re = b.re[current];
    const float* im = b.im[current];

    Complex* out = output + image * static_cast<size_t>(half + 1) * static_cast<size_t>(rows) + row0;
    writeSplitBins(block, re, im, out, twiddlesCols, half, rows, logTy, activeY, tx);
}

// kRowsC2R_T for a half length of radices 2, 3 and 5.
__global__ void kMixedRowsC2R_T(const Complex* __restrict__ input, float* __restrict__ output,
                                const Complex* __restrict__ twiddlesHalf, const Complex* __restrict__ twiddlesCols,
                                int rows, int half, int logTy) {
    const Block block;
    const int cols = 2 * half, tx = static_cast<int>(blockDim.x);
    const int row0 = static_cast<int>(blockIdx.x) << logTy;
    const int activeY = imin(1 << logTy, rows - row0);
    const size_t image = blockIdx.y;
    const MixedBuffers b = mixedBuffers(block, half, logTy);
    const HalfSpectrum source{input + image * static_cast<size_t>(half + 1) * static_cast<size_t>(rows) + row0,
                              twiddlesCols, rows, half};
    const int current = mixedTransform(block, source, b, twiddlesHalf, half, logTy, tx, activeY, 1.0f);
    const float* re = b.re[current];
    const float* im = b.im[current];

    float* out = output + (image * static_cast<size_t>(rows) + static_cast<size_t>(row0)) * cols;
    for (int base = 0; base < half; base += tx) {
        lanes<false>(
            block, logTy, imin(tx, half - base), activeY,
            [&](int x) { return SlotAndOffset{(base + x) << logTy, 2 * (base + x)}; },
            [&](const SlotAndOffset& u, int y) {
                out[y * cols + u.offset] = 2.0f * re[u.slot + y];
                out[y * cols + u.offset + 1] = 2.0f * im[u.slot + y];
            });
    }
}

// kRowsC2C for lengths of radices 2, 3 and 5.
__global__ void kMixedC2C(Complex* __restrict__ data, const Complex* __restrict__ twiddles, int n, long long lines,
                          int logTy, float sign, const Complex* __restrict__ factor) {
    const Block block;
    const int tx = static_cast<int>(blockDim.x);
    const long long line0 = static_cast<long long>(blockIdx.x) << logTy;
    const int activeY = static_cast<int>(lines - line0 < (1LL << logTy) ? lines - line0 : (1LL << logTy));
    Complex* block0 = data + static_cast<size_t>(line0) * static_cast<size_t>(n);
    const MixedBuffers b = mixedBuffers(block, n, logTy);
    const int current =
        factor ? mixedTransform(block, ProductLines{factor + (block0 - data), block0, n}, b, twiddles, n, logTy, tx,
                                activeY, sign)
               : mixedTransform(block, ComplexLines{block0, n}, b, twiddles, n, logTy, tx, activeY, sign);
    const float* re = b.re[current];
    const float* im = b.im[current];
    for (int base = 0; base < n; base += tx) {
        lanes<false>(
            block, logTy, imin(tx, n - base), activeY,
            [&](int x) { return SlotAndOffset{(base + x) << logTy, base + x}; },
            [&](const SlotAndOffset& u, int y) {
                block0[y * n + u.offset] = make_float2(re[u.slot + y], im[u.slot + y]);
            });
    }
}

// Per image: input a x b row-major, output b x a.
__global__ void kTranspose(const Complex* __restrict__ input, Complex* __restrict__ output, int a, int b) {
    const Block block;
    __shared__ Complex tile[kTile][kTile + 1];
    const int c0 = static_cast<int>(blockIdx.x) * kTile, r0 = static_cast<int>(blockIdx.y) * kTile;
    const size_t imageOffset = static_cast<size_t>(blockIdx.z) * static_cast<size_t>(a) * static_cast<size_t>(b);
    const Complex* in = input + imageOffset;
    Complex* out = output + imageOffset;
    const int tileRows = imin(kTile, a - r0), tileCols = imin(kTile, b - c0);

    lanes<true>(
        block, 5, tileRows, tileCols, [&](int x) { return TileRow{x, static_cast<size_t>(r0 + x) * b + c0}; },
        [&](const TileRow& u, int y) { tile[u.index][y] = in[u.offset + y]; });
    lanes<true>(
        block, 5, tileCols, tileRows, [&](int x) { return TileRow{x, static_cast<size_t>(c0 + x) * a + r0}; },
        [&](const TileRow& u, int y) { out[u.offset + y] = tile[y][u.index]; });
}

__device__ __forceinline__ long long globalThread() {
    return static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
}

// One radix-2 Stockham pass over lines of length 2^logM; sign -1 forward, +1 inverse.
__global__ void kStockhamPass(const Complex* __restrict__ src, Complex* __restrict__ dst,
                              const Complex* __restrict__ twiddles, int logM, int logSpan, long long threads,
                              float sign) {
    const long long t = globalThread();
    if (t >= threads) return;
    const int halfM = 1 << (logM - 1);
    const size_t line = static_cast<size_t>(t >> (logM - 1)) << logM;
    const int j = static_cast<int>(t) & (halfM - 1);
    const int q = j >> logSpan, k = j & ((1 << logSpan) - 1);
    Complex w = twiddles[q << logSpan];
    w.y *= -sign;
    const Complex a = src[line + j], b = src[line + j + halfM];
    const size_t o = line + (static_cast<size_t>(q) << (logSpan + 1)) + k;
    dst[o] = make_float2(a.x + b.x, a.y + b.y);
    dst[o + (1 << logSpan)] = cmul(make_float2(a.x - b.x, a.y - b.y), w);
}

// Threads of the Bluestein kernels run over lines x M; t splits without division.
__global__ void kChirpLoad(const Complex* __restrict__ x, Complex* __restrict__ work, const Complex* __restrict__ chirp,
                           int n, int logM, long long threads, int inverse) {
    const long long t = globalThread();
    if (t >= threads) return;
    const int k = static_cast<int>(t & ((1LL << logM) - 1));
    if (k >= n) {
        work[t] = make_float2(0.0f, 0.0f);
        return;
    }
    Complex v = x[static_cast<size_t>(t >> logM) * static_cast<size_t>(n) + k];
    if (inverse) v.y = -v.y;
    work[t] = cmul(v, chirp[k]);
}

__global__ void kChirpLoadReal(const float* __restrict__ x, Complex* __restrict__ work,
                               const Complex* __restrict__ chirp, int n, int logM, long long threads) {
    const long long t = globalThread();
    if (t >= threads) return;
    const int k = static_cast<int>(t & ((1LL << logM) - 1));
    if (k >= n) {
        work[t] = make_float2(0.0f, 0.0f);
        return;
    }
    const float v = x[static_cast<size_t>(t >> logM) * static_cast<size_t>(n) + k];
    work[t] = make_float2(v * chirp[k].x, v * chirp[k].y);
}

// lines[i] = factor[i] x conj(lines[i]).
__global__ void kConjugateProduct(const Complex* __restrict__ factor, Complex* __restrict__ lines, long long count) {
    const long long t = globalThread();
    if (t < count) lines[t] = timesConjugate(factor[t], lines[t]);
}

__global__ void kMulSpectrum(Complex* __restrict__ work, const Complex* __restrict__ spectrum, int logM,
                             long long threads) {
    const long long t = globalThread();
    if (t >= threads) return;
    work[t] = cmul(work[t], spectrum[t & ((1LL << logM) - 1)]);
}

// Bins k < count of each line, times the chirp and scale, to out[line * stride + k].
__global__ void kChirpStore(const Complex* __restrict__ work, Complex* __restrict__ out,
                            const Complex* __restrict__ chirp, int logM, int count, int stride, float scale,
                            long long threads, int inverse) {
    const long long t = globalThread();
    if (t >= threads) return;
    const int k = static_cast<int>(t & ((1LL << logM) - 1));
    if (k >= count) return;
    Complex v = cmul(work[t], chirp[k]);
    v.x *= scale;
    v.y *= inverse ? -scale : scale;
    out[static_cast<size_t>(t >> logM) * static_cast<size_t>(stride) + k] = v;
}

__global__ void kChirpStoreReal(const Complex* __restrict__ work, float* __restrict__ out,
                                const Complex* __restrict__ chirp, int logM, int n, float scale, long long threads) {
    const long long t = globalThread();
    if (t >= threads) return;
    const int k = static_cast<int>(t & ((1LL << logM) - 1));
    if (k >= n) return;
    const Complex w = work[t], c = chirp[k];
    out[static_cast<size_t>(t >> logM) * static_cast<size_t>(n) + k] = (w.x * c.x - w.y * c.y) * scale;
}

// Full rows of cols bins from half rows of halfCols bins (Hermitian symmetry).
__global__ void kHermitianExpand(const Complex* __restrict__ half, Complex* __restrict__ full, int cols,
                                 int halfCols, int logM, long long threads) {
    const long long t = globalThread();
    if (t >= threads) return;
    const int k = static_cast<int>(t & ((1LL << logM) - 1));
    if (k >= cols) return;
    const size_t line = static_cast<size_t>(t >> logM);
    const Complex* src = half + line * static_cast<size_t>(halfCols);
    Complex v = k < halfCols ? src[k] : src[cols - k];
    if (k >= halfCols) v.y = -v.y;
    full[line * static_cast<size_t>(cols) + k] = v;
}

bool isPowerOfTwo(int64_t v) { return v > 0 && (v & (v - 1)) == 0; }

} // namespace

bool isSmooth(int64_t v) {
    if (v < 1) return false;
    for (const int p : {2, 3, 5})
        while (v % p == 0) v /= p;
    return v == 1;
}

int32_t nextSmooth(int32_t v) {
    int32_t n = std::max(v, 1);
    while (!isSmooth(n)) ++n;
    return n;
}

namespace {

unsigned gridFor(long long threads) { return static_cast<unsigned>((threads + kThreads - 1) / kThreads); }

struct Shape {
    dim3 block;
    int logTy;
    size_t sharedBytes;
};

// Row kernels: bytesPerRow is (half + 1) x 8 forward, (2 half + 1) x 8 inverse.
Shape rowShape(int half, int rows, int64_t bytesPerRow) {
    int tx = 8;
    while (tx < 64 && tx < half / 8) tx *= 2;
    int ty = std::clamp(512 / tx, 4, 32);
    while (ty > 1 && bytesPerRow * ty >= 49153) ty /= 2;
    ty = std::min(ty, rows);
    return {dim3(static_cast<unsigned>(tx), static_cast<unsigned>(ty)), log2Exact(ty),
            static_cast<size_t>(bytesPerRow) * static_cast<size_t>(ty)};
}

// Up to 32 lines per block: on the CPU the lines are the vector lanes, and
// each butterfly's indices and twiddles serve them all.
Shape columnShape(int n) {
    int tx = 8;
    while (tx < 128 && tx < n / 8) tx *= 2;
    int ty = std::max(1, std::min(256 / tx, 32));
    while (ty > 1 && int64_t{ty} * n * 8 >= 49153) ty /= 2;
    return {dim3(static_cast<unsigned>(tx), static_cast<unsigned>(ty)), log2Exact(ty),
            static_cast<size_t>(ty) * static_cast<size_t>(n) * sizeof(Complex)};
}

// Mixed-radix kernels: two buffers of n complex values per line, 32 lines per
// block where they fit (on the CPU, the lines are the vector lanes).
Shape mixedShape(int n) {
    int ty = 32;
    while (ty > 1 && int64_t{ty} * n * 16 >= 49153) ty /= 2;
    int tx = 8;
    while (tx * ty < 256 && tx * 4 < n) tx *= 2;
    return {dim3(static_cast<unsigned>(tx), static_cast<unsigned>(ty)), log2Exact(ty),
            static_cast<size_t>(ty) * static_cast<size_t>(n) * 16};
}

// Grids carry the image index in y or z, limited to 65535 per launch.
template <class F>
void forImageChunks(int batch, F&& launch) {
    for (int first = 0; first < batch; first += static_cast<int>(kMaxGridY))
        launch(first, std::min(batch - first, static_cast<int>(kMaxGridY)));
}

void transpose(const Complex* input, Complex* output, int a, int b, int batch) {
    const size_t image = static_cast<size_t>(a) * static_cast<size_t>(b);
    forImageChunks(batch, [&](int first, int count) {
        const dim3 grid((b + kTile - 1) / kTile, (a + kTile - 1) / kTile, static_cast<unsigned>(count));
        TAVRO_LAUNCH_BLOCK(kTranspose, grid, dim3(kTile, kTile), 0, input + first * image, output + first * image, a,
                           b);
    });
}

void columns(const Plan& plan, Complex* data, float sign, const Complex* factor = nullptr) {
    const Shape shape = columnShape(plan.rows);
    const long long lines = static_cast<long long>(plan.halfCols) * plan.batch;
    const long long blocks = (lines + (1LL << shape.logTy) - 1) >> shape.logTy;
    TAVRO_LAUNCH_BLOCK(kRowsC2C, static_cast<unsigned>(blocks), shape.block, shape.sharedBytes, data,
                       plan.twiddlesRows, plan.logRows, lines, shape.logTy, sign, factor);
}

void mixedColumns(const Plan& plan, Complex* data, float sign, const Complex* factor = nullptr) {
    const Shape shape = mixedShape(plan.rows);
    const long long lines = static_cast<long long>(plan.halfCols) * plan.batch;
    const long long blocks = (lines + (1LL << shape.logTy) - 1) >> shape.logTy;
    TAVRO_LAUNCH_BLOCK(kMixedC2C, static_cast<unsigned>(blocks), shape.block, shape.sharedBytes, data,
                       plan.twiddlesRows, plan.rows, lines, shape.logTy, sign, factor);
}

// Radix-2 Stockham over `lines` lines of the axis' length, alternating between
// the two buffers; returns the one holding the result.
Complex* stockham(Complex* src, Complex* other, const BluesteinAxis& axis, long long lines, float sign) {
    const long long threads = lines << (axis.logM - 1);
    for (int span = 0; span < axis.logM; ++span) {
        TAVRO_LAUNCH(kStockhamPass, gridFor(threads), kThreads, 0, src, other, axis.twiddles, axis.logM, span, threads,
                     sign);
        std::swap(src, other);
    }
    return src;
}

// Bluestein over `lines` lines in groups of chunkLines: load(first, count,
// threads) fills workA, store(first, count, threads, result) writes the lines.
template <class Load, class Store>
bool bluestein(const Plan& plan, const BluesteinAxis& axis, long long lines, Load&& load, Store&& store,
               std::string& error) {
    for (long long first = 0; first < lines; first += plan.chunkLines) {
        const long long count = std::min<long long>(plan.chunkLines, lines - first);
        const long long threads = count << axis.logM;
        load(first, count, threads);
        Complex* spectrum = stockham(plan.workA, plan.workB, axis, count, -1.0f);
        TAVRO_LAUNCH(kMulSpectrum, gridFor(threads), kThreads, 0, spectrum, axis.kernelSpectrum, axis.logM, threads);
        Complex* result =
            stockham(spectrum, spectrum == plan.workA ? plan.workB : plan.workA, axis, count, 1.0f);
        store(first, count, threads, result);
    }
    const cudaError_t status = cudaGetLastError();
    if (status == cudaSuccess) return true;
    error = "tavro_fft: Bluestein: " + std::string(cudaErrorDescription(status));
    return false;
}

bool finish(const char* prefix, std::string& error) {
    const cudaError_t status = cudaGetLastError();
    if (status == cudaSuccess) return true;
    error = prefix + std::string(cudaErrorDescription(status));
    return false;
}

bool byteCount(uint64_t count, uint64_t& bytes) {
    if (count > std::numeric_limits<uint64_t>::max() / sizeof(Complex)) return false;
    bytes = count * sizeof(Complex);
    return true;
}

bool product(uint64_t a, uint64_t b, uint64_t& out) {
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return false;
    out = a * b;
    return true;
}

// The failure stays in the message, not in the thread's pending error.
bool allocateRaw(Complex*& slot, uint64_t count, uint64_t& bytes, const char* prefix, std::string& error) {
    cudaError_t status = cudaErrorMemoryAllocation;
    void* p = nullptr;
    if (byteCount(count, bytes)) status = cudaMalloc(&p, static_cast<size_t>(bytes));
    if (status == cudaSuccess) {
        slot = static_cast<Complex*>(p);
        return true;
    }
    cudaGetLastError();
    error = prefix + std::string(cudaErrorDescription(status));
    return false;
}

bool allocate(Plan& plan, Complex*& slot, uint64_t count, const char* prefix, std::string& error) {
    uint64_t bytes = 0;
    if (!allocateRaw(slot, count, bytes, prefix, error)) return false;
    plan.deviceBytes += bytes;
    return true;
}

bool upload(Plan& plan, Complex*& slot, const std::vector<Complex>& host, const char* prefix, std::string& error) {
    if (!allocate(plan, slot, host.size(), prefix, error)) return false;
    const cudaError_t status =
        cudaMemcpy(slot, host.data(), host.size() * sizeof(Complex), cudaMemcpyHostToDevice);
    if (status == cudaSuccess) return true;
    cudaGetLastError();
    error = prefix + std::string(cudaErrorDescription(status));
    return false;
}

// w_k = exp(-2 pi i k / n) for k < count, in double then rounded.
std::vector<Complex> twiddleTable(int64_t n, int64_t count) {
    std::vector<Complex> table(static_cast<size_t>(count));
    const double pi = std::acos(-1.0);
    for (int64_t k = 0; k < count; ++k) {
        const double angle = -2.0 * pi * static_cast<double>(k) / static_cast<double>(n);
        table[static_cast<size_t>(k)] =
            make_float2(static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle)));
    }
    return table;
}

bool buildShared(Plan& plan, std::string& error) {
    const char* tables = "tavro_fft: tables: ";
    if (!upload(plan, plan.twiddlesHalf, twiddleTable(plan.half, plan.half / 2), tables, error) ||
        !upload(plan, plan.twiddlesRows, twiddleTable(plan.rows, plan.rows / 2), tables, error) ||
        !upload(plan, plan.twiddlesCols, twiddleTable(plan.cols, plan.half + 1), tables, error))
        return false;
    if (plan.transposedSpectrum) return true;
    const uint64_t bins = uint64_t(plan.halfCols) * uint64_t(plan.rows) * uint64_t(plan.batch);
    return allocate(plan, plan.spectrumA, bins, "tavro_fft: tampon transposée: ", error);
}

// Full tables for the mixed-radix passes, which index W_n^m for every m < n.
bool buildMixed(Plan& plan, std::string& error) {
    const char* tables = "tavro_fft: tables: ";
    if (!upload(plan, plan.twiddlesHalf, twiddleTable(plan.half, plan.half), tables, error) ||
        !upload(plan, plan.twiddlesRows, twiddleTable(plan.rows, plan.rows), tables, error) ||
        !upload(plan, plan.twiddlesCols, twiddleTable(plan.cols, plan.half + 1), tables, error))
        return false;
    if (plan.transposedSpectrum) return true;
    const uint64_t bins = uint64_t(plan.halfCols) * uint64_t(plan.rows) * uint64_t(plan.batch);
    return allocate(plan, plan.spectrumA, bins, "tavro_fft: tampon transposée: ", error);
}

class DeviceScratch {
public:
    DeviceScratch() = default;
    DeviceScratch(const DeviceScratch&) = delete;
    DeviceScratch& operator=(const DeviceScratch&) = delete;
    ~DeviceScratch() { cudaFree(data_); }
    Complex*& slot() { return data_; }

private:
    Complex* data_ = nullptr;
};

bool buildAxis(Plan& plan, BluesteinAxis& axis, int n, std::string& error) {
    axis.n = n;
    axis.logM = log2Exact(2 * int64_t{n} - 1);
    axis.M = 1 << axis.logM;
    const size_t M = static_cast<size_t>(axis.M);
    if (!upload(plan, axis.twiddles, twiddleTable(axis.M, axis.M / 2), "tavro_fft: racines Bluestein: ", error))
        return false;

    std::vector<Complex> chirp(static_cast<size_t>(n));
    const double pi = std::acos(-1.0);
    for (int64_t k = 0; k < n; ++k) {
        // k^2 reduced modulo 2n in 64 bits keeps the angle within one turn.
        const double angle = -pi * static_cast<double>((k * k) % (2 * int64_t{n})) / n;
        chirp[static_cast<size_t>(k)] =
            make_float2(static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle)));
    }
    if (!upload(plan, axis.chirp, chirp, "tavro_fft: chirp: ", error)) return false;

    std::vector<Complex> kernel(M, make_float2(0.0f, 0.0f));
    for (size_t k = 0; k < static_cast<size_t>(n); ++k) {
        const Complex b = make_float2(chirp[k].x, -chirp[k].y);
        kernel[k] = b;
        if (k > 0) kernel[M - k] = b;
    }
    // The logM passes alternate buffers: start in the one that makes the last pass land in kernelSpectrum.
    const char* kernelStep = "tavro_fft: noyau Bluestein: ";
    DeviceScratch scratch;
    uint64_t scratchBytes = 0;
    if (!allocate(plan, axis.kernelSpectrum, M, kernelStep, error) ||
        !allocateRaw(scratch.slot(), M, scratchBytes, kernelStep, error))
        return false;
    Complex* start = axis.logM % 2 == 0 ? axis.kernelSpectrum : scratch.slot();
    Complex* other = start == axis.kernelSpectrum ? scratch.slot() : axis.kernelSpectrum;
    cudaError_t status = cudaMemcpy(start, kernel.data(), M * sizeof(Complex), cudaMemcpyHostToDevice);
    if (status != cudaSuccess) {
        cudaGetLastError();
        error = kernelStep + std::string(cudaErrorDescription(status));
        return false;
    }
    stockham(start, other, axis, 1, -1.0f);
    status = cudaGetLastError();
    if (status == cudaSuccess) status = cudaDeviceSynchronize();
    if (status != cudaSuccess) {
        cudaGetLastError();
        error = "tavro_fft: FFT du noyau: " + std::string(cudaErrorDescription(status));
        return false;
    }
    return true;
}

bool buildGeneral(Plan& plan, std::string& error) {
    if (!buildAxis(plan, plan.colsAxis, plan.cols, error) || !buildAxis(plan, plan.rowsAxis, plan.rows, error))
        return false;
    const int64_t M = std::max(plan.colsAxis.M, plan.rowsAxis.M);
    const int64_t cap = int64_t{std::max(plan.rows, plan.halfCols)} * plan.batch;
    plan.chunkLines = std::min(std::max<int64_t>(1, kWorkBytes / (M * 16)), cap);

    const char* buffers = "tavro_fft: tampons Bluestein: ";
    uint64_t work = 0, spectrum = 0, perImage = 0, line = 0;
    const bool fits = product(uint64_t(plan.chunkLines), uint64_t(M), work) &&
                      product(uint64_t(plan.halfCols), uint64_t(plan.rows), perImage) &&
                      product(perImage, uint64_t(plan.batch), spectrum) &&
                      product(uint64_t(plan.cols), uint64_t(plan.chunkLines), line);
    if (!fits) {
        error = buffers + std::string(cudaErrorDescription(cudaErrorMemoryAllocation));
        return false;
    }
    return allocate(plan, plan.workA, work, buffers, error) && allocate(plan, plan.workB, work, buffers, error) &&
           allocate(plan, plan.spectrumA, spectrum, buffers, error) &&
           allocate(plan, plan.spectrumB, spectrum, buffers, error) &&
           allocate(plan, plan.lineBuffer, line, buffers, error);
}

bool sharedR2C(const Plan& plan, const float* input, Complex* output, std::string& error) {
    Complex* spectrum = plan.transposedSpectrum ? output : plan.spectrumA;
    const Shape shape = rowShape(plan.half, plan.rows, int64_t{plan.half + 1} * 8);
    const size_t realImage = size_t(plan.rows) * size_t(plan.cols);
    const size_t binImage = size_t(plan.rows) * size_t(plan.halfCols);
    forImageChunks(plan.batch, [&](int first, int count) {
        const dim3 grid(static_cast<unsigned>(plan.rows >> shape.logTy), static_cast<unsigned>(count));
        TAVRO_LAUNCH_BLOCK(kRowsR2C_T, grid, shape.block, shape.sharedBytes, input + first * realImage,
                           spectrum + first * binImage, plan.twiddlesHalf, plan.twiddlesCols, plan.rows, plan.logHalf,
                           shape.logTy);
    });
    columns(plan, spectrum, -1.0f);
    if (!plan.transposedSpectrum) transpose(spectrum, output, plan.halfCols, plan.rows, plan.batch);
    return finish("tavro_fft: execR2C: ", error);
}

// factor is given only with the transposed layout, where the columns run in place.
bool sharedC2R(const Plan& plan, Complex* input, float* output, int outputRows, const Complex* factor,
               std::string& error) {
    Complex* spectrum = input;
    if (!plan.transposedSpectrum) {
        transpose(input, plan.spectrumA, plan.rows, plan.halfCols, plan.batch);
        spectrum = plan.spectrumA;
    }
    columns(plan, spectrum, 1.0f, factor);
    // No more rows per block than asked for, so that a few first rows cost a few rows.
    const Shape shape = rowShape(plan.half, std::min(plan.rows, 1 << log2Exact(outputRows)),
                                 int64_t{2 * plan.half + 1} * 8);
    const size_t realImage = size_t(plan.rows) * size_t(plan.cols);
    const size_t binImage = size_t(plan.rows) * size_t(plan.halfCols);
    const int rowBlocks = (outputRows + (1 << shape.logTy) - 1) >> shape.logTy;
    forImageChunks(plan.batch, [&](int first, int count) {
        const dim3 grid(static_cast<unsigned>(rowBlocks), static_cast<unsigned>(count));
        TAVRO_LAUNCH_BLOCK(kRowsC2R_T, grid, shape.block, shape.sharedBytes, spectrum + first * binImage,
                           output + first * realImage, plan.twiddlesHalf, plan.twiddlesCols, plan.rows, plan.logHalf,
                           shape.logTy);
    });
    return finish("tavro_fft: execC2R: ", error);
}

bool mixedR2C(const Plan& plan, const float* input, Complex* output, std::string& error) {
    Complex* spectrum = plan.transposedSpectrum ? output : plan.spectrumA;
    const Shape shape = mixedShape(plan.half);
    const size_t realImage = size_t(plan.rows) * size_t(plan.cols);
    const size_t binImage = size_t(plan.rows) * size_t(plan.halfCols);
    const unsigned rowBlocks = static_cast<unsigned>((plan.rows + (1 << shape.logTy) - 1) >> shape.logTy);
    forImageChunks(plan.batch, [&](int first, int count) {
        TAVRO_LAUNCH_BLOCK(kMixedRowsR2C_T, dim3(rowBlocks, static_cast<unsigned>(count)), shape.block,
                           shape.sharedBytes, input + first * realImage, spectrum + first * binImage,
                           plan.twiddlesHalf, plan.twiddlesCols, plan.rows, plan.half, shape.logTy);
    });
    mixedColumns(plan, spectrum, -1.0f);
    if (!plan.transposedSpectrum) transpose(spectrum, output, plan.halfCols, plan.rows, plan.batch);
    return finish("tavro_fft: execR2C: ", error);
}

bool mixedC2R(const Plan& plan, Complex* input, float* output, int outputRows, const Complex* factor,
              std::string& error) {
    Complex* spectrum = input;
    if (!plan.transposedSpectrum) {
        transpose(input, plan.spectrumA, plan.rows, plan.halfCols, plan.batch);
        spectrum = plan.spectrumA;
    }
    mixedColumns(plan, spectrum, 1.0f, factor);
    const Shape shape = mixedShape(plan.half);
    const size_t realImage = size_t(plan.rows) * size_t(plan.cols);
    const size_t binImage = size_t(plan.rows) * size_t(plan.halfCols);
    const unsigned rowBlocks = static_cast<unsigned>((outputRows + (1 << shape.logTy) - 1) >> shape.logTy);
    forImageChunks(plan.batch, [&](int first, int count) {
        TAVRO_LAUNCH_BLOCK(kMixedRowsC2R_T, dim3(rowBlocks, static_cast<unsigned>(count)), shape.block,
                           shape.sharedBytes, spectrum + first * binImage, output + first * realImage,
                           plan.twiddlesHalf, plan.twiddlesCols, plan.rows, plan.half, shape.logTy);
    });
    return finish("tavro_fft: execC2R: ", error);
}

bool generalR2C(const Plan& plan, const float* input, Complex* output, std::string& error) {
    const BluesteinAxis& cols = plan.colsAxis;
    const float colsScale = 1.0f / static_cast<float>(cols.M);
    const bool rowsDone = bluestein(
        plan, cols, static_cast<long long>(plan.rows) * plan.batch,
        [&](long long first, long long, long long threads) {
            TAVRO_LAUNCH(kChirpLoadReal, gridFor(threads), kThreads, 0, input + first * plan.cols, plan.workA,
                         cols.chirp, plan.cols, cols.logM, threads);
        },
        [&](long long first, long long, long long threads, const Complex* result) {
            TAVRO_LAUNCH(kChirpStore, gridFor(threads), kThreads, 0, result, plan.spectrumA + first * plan.halfCols,
                         cols.chirp, cols.logM, plan.halfCols, plan.halfCols, colsScale, threads, 0);
        },
        error);
    if (!rowsDone) return false;
    transpose(plan.spectrumA, output, plan.rows, plan.halfCols, plan.batch);

    const BluesteinAxis& rows = plan.rowsAxis;
    const float rowsScale = 1.0f / static_cast<float>(rows.M);
    const bool columnsDone = bluestein(
        plan, rows, static_cast<long long>(plan.halfCols) * plan.batch,
        [&](long long first, long long, long long threads) {
            TAVRO_LAUNCH(kChirpLoad, gridFor(threads), kThreads, 0, output + first * plan.rows, plan.workA,
                         rows.chirp, plan.rows, rows.logM, threads, 0);
        },
        [&](long long first, long long, long long threads, const Complex* result) {
            TAVRO_LAUNCH(kChirpStore, gridFor(threads), kThreads, 0, result, output + first * plan.rows, rows.chirp,
                         rows.logM, plan.rows, plan.rows, rowsScale, threads, 0);
        },
        error);
    if (!columnsDone) return false;

    if (!plan.transposedSpectrum) {
        transpose(output, plan.spectrumB, plan.halfCols, plan.rows, plan.batch);
        const size_t bytes = size_t(plan.halfCols) * size_t(plan.rows) * size_t(plan.batch) * sizeof(Complex);
        const cudaError_t status = cudaMemcpy(output, plan.spectrumB, bytes, cudaMemcpyDeviceToDevice);
        if (status != cudaSuccess) {
            cudaGetLastError();
            error = "tavro_fft: execR2C: " + std::string(cudaErrorDescription(status));
            return false;
        }
    }
    return finish("tavro_fft: execR2C: ", error);
}

bool generalC2R(const Plan& plan, const Complex* input, float* output, std::string& error) {
    const Complex* columnsIn = input;
    if (!plan.transposedSpectrum) {
        transpose(input, plan.spectrumA, plan.rows, plan.halfCols, plan.batch);
        columnsIn = plan.spectrumA;
    }
    const BluesteinAxis& rows = plan.rowsAxis;
    const float rowsScale = 1.0f / static_cast<float>(rows.M);
    const bool columnsDone = bluestein(
        plan, rows, static_cast<long long>(plan.halfCols) * plan.batch,
        [&](long long first, long long, long long threads) {
            TAVRO_LAUNCH(kChirpLoad, gridFor(threads), kThreads, 0, columnsIn + first * plan.rows, plan.workA,
                         rows.chirp, plan.rows, rows.logM, threads, 1);
        },
        [&](long long first, long long, long long threads, const Complex* result) {
            TAVRO_LAUNCH(kChirpStore, gridFor(threads), kThreads, 0, result, plan.spectrumA + first * plan.rows,
                         rows.chirp, rows.logM, plan.rows, plan.rows, rowsScale, threads, 1);
        },
        error);
    if (!columnsDone) return false;
    transpose(plan.spectrumA, plan.spectrumB, plan.halfCols, plan.rows, plan.batch);

    const BluesteinAxis& cols = plan.colsAxis;
    const float colsScale = 1.0f / static_cast<float>(cols.M);
    const bool rowsDone = bluestein(
        plan, cols, static_cast<long long>(plan.rows) * plan.batch,
        [&](long long first, long long, long long threads) {
            TAVRO_LAUNCH(kHermitianExpand, gridFor(threads), kThreads, 0, plan.spectrumB + first * plan.halfCols,
                         plan.lineBuffer, plan.cols, plan.halfCols, cols.logM, threads);
            TAVRO_LAUNCH(kChirpLoad, gridFor(threads), kThreads, 0, plan.lineBuffer, plan.workA, cols.chirp,
                         plan.cols, cols.logM, threads, 1);
        },
        [&](long long first, long long, long long threads, const Complex* result) {
            TAVRO_LAUNCH(kChirpStoreReal, gridFor(threads), kThreads, 0, result, output + first * plan.cols,
                         cols.chirp, cols.logM, plan.cols, colsScale, threads);
        },
        error);
    if (!rowsDone) return false;
    return finish("tavro_fft: execC2R: ", error);
}

void release(Complex*& p) {
    if (p) cudaFree(p);
    p = nullptr;
}

void release(BluesteinAxis& axis) {
    release(axis.chirp);
    release(axis.kernelSpectrum);
    release(axis.twiddles);
}

} // namespace

Plan* createPlan(int32_t rows, int32_t cols, int32_t batch, int32_t transposedSpectrum, std::string& error) {
    error.clear();
    if (rows < 2 || cols < 2 || batch < 1 || rows > kMaxAxis || cols > kMaxAxis) {
        error = "tavro_fft: dimensions invalides.";
        return nullptr;
    }
    try {
        PlanPtr plan(new Plan());
        plan->cols = cols;
        plan->rows = rows;
        plan->batch = batch;
        plan->halfCols = cols / 2 + 1;
        plan->transposedSpectrum = transposedSpectrum;
        plan->sharedPath = isPowerOfTwo(cols) && isPowerOfTwo(rows) && cols >= 4 && int64_t{rows} * 8 <= 49152 &&
                           int64_t{cols / 2} * 16 < 49145;
        plan->mixedPath = !plan->sharedPath && cols % 2 == 0 && cols / 2 <= kMixedMaxLength &&
                          rows <= kMixedMaxLength && isSmooth(cols / 2) && isSmooth(rows);
        if (plan->sharedPath) {
            plan->half = cols / 2;
            plan->logHalf = log2Exact(plan->half);
            plan->logRows = log2Exact(rows);
            if (!buildShared(*plan, error)) return nullptr;
        } else if (plan->mixedPath) {
            plan->half = cols / 2;
            if (!buildMixed(*plan, error)) return nullptr;
        } else if (!buildGeneral(*plan, error)) {
            return nullptr;
        }
        return plan.release();
    } catch (const std::bad_alloc&) {
        error = "tavro_fft: " + std::string(cudaErrorDescription(cudaErrorMemoryAllocation));
        return nullptr;
    }
}

void destroyPlan(Plan* plan) {
    if (!plan) return;
    const std::unique_ptr<Plan> owner(plan);
    release(plan->twiddlesHalf);
    release(plan->twiddlesRows);
    release(plan->twiddlesCols);
    release(plan->colsAxis);
    release(plan->rowsAxis);
    release(plan->spectrumA);
    release(plan->spectrumB);
    release(plan->workA);
    release(plan->workB);
    release(plan->lineBuffer);
}

bool execR2C(Plan* plan, const float* input, Complex* output, std::string& error) {
    if (!plan || !input || !output) {
        error = "tavro_fft: execR2C, pointeur nul.";
        return false;
    }
    if (plan->sharedPath) return sharedR2C(*plan, input, output, error);
    return plan->mixedPath ? mixedR2C(*plan, input, output, error) : generalR2C(*plan, input, output, error);
}

bool execC2R(Plan* plan, Complex* input, float* output, std::string& error) {
    return execC2RRows(plan, input, output, plan ? plan->rows : 0, error);
}

bool execC2RRows(Plan* plan, Complex* input, float* output, int32_t rows, std::string& error) {
    return execC2RCorrelation(plan, nullptr, input, output, rows, error);
}

bool execC2RCorrelation(Plan* plan, const Complex* factor, Complex* input, float* output, int32_t rows,
                        std::string& error) {
    if (!plan || !input || !output) {
        error = "tavro_fft: execC2R, pointeur nul.";
        return false;
    }
    // The row pass is the last: rows it skips are rows of the output alone.
    const int outputRows = std::clamp(rows, 1, plan->rows);
    const bool fused = plan->transposedSpectrum && (plan->sharedPath || plan->mixedPath);
    if (factor && !fused) {
        const long long count = static_cast<long long>(plan->halfCols) * plan->rows * plan->batch;
        TAVRO_LAUNCH(kConjugateProduct, gridFor(count), kThreads, 0, factor, input, count);
    }
    const Complex* columnFactor = fused ? factor : nullptr;
    if (plan->sharedPath) return sharedC2R(*plan, input, output, outputRows, columnFactor, error);
    return plan->mixedPath ? mixedC2R(*plan, input, output, outputRows, columnFactor, error)
                           : generalC2R(*plan, input, output, error);
}

} // namespace tavro::fft
