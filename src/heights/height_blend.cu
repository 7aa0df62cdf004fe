#include "heights/height_blend.h"

#include <cmath>
#include <new>

#include "core/gpu_common.h"
#include "gpu/runtime.h"
#include "heights/height_sampling.h"

namespace tavro {
namespace {

constexpr int kThreadsPerBlock = 256;

// One launch per tile over the mosaic pixels it covers: within a launch each
// thread owns one mosaic pixel, and launches follow one another, so the sums
// need no atomics.
__global__ void accumulate_height_tile_kernel(const float* tile, int tileWidth, int tileHeight, double left,
                                              double top, int boxX, int boxY, int boxWidth, long long boxCount,
                                              int mosaicWidth, float blendWidth, float* sum, float* weight) {
    const long long local = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (local >= boxCount) return;
    const int X = boxX + static_cast<int>(local % boxWidth);
    const int Y = boxY + static_cast<int>(local / boxWidth);
    const double u = X - left;
    const double v = Y - top;
    // No extrapolation: a tile covers the mosaic pixels between its edge samples.
    if (u < 0.0 || v < 0.0 || u > tileWidth - 1 || v > tileHeight - 1) return;
    const float value = heights::sampleBilinear(tile, tileWidth, tileHeight, u, v);
    if (!heights::finiteValue(value)) return;
    // Distance to the tile's outer boundary, half a pixel beyond its edge samples.
    const float dx = static_cast<float>(fmin(u, tileWidth - 1 - u) + 0.5);
    const float dy = static_cast<float>(fmin(v, tileHeight - 1 - v) + 0.5);
    const float w = fminf(1.0f, dx / blendWidth) * fminf(1.0f, dy / blendWidth);
    if (!(w > 0.0f)) return;
    const long long i = static_cast<long long>(Y) * mosaicWidth + X;
    sum[i] = fmaf(w, value, sum[i]);
    weight[i] += w;
}

__global__ void finish_height_blend_kernel(const float* sum, const float* weight, long long count, float* out) {
    const long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i >= count) return;
    out[i] = weight[i] > 0.0f ? sum[i] / weight[i] : NAN;
}

bool fail(HeightBlendResult& out, std::string message) {
    out = HeightBlendResult{};
    out.error = std::move(message);
    return false;
}

const char* invalidInputs(const std::vector<std::vector<float>>& tiles, int tileWidth, int tileHeight,
                          const std::vector<std::pair<double, double>>& positions, int mosaicWidth,
                          int mosaicHeight) {
    if (tiles.empty()) return "No height tile to blend.";
    if (tiles.size() != positions.size()) return "Each height tile needs one position.";
    if (tileWidth < 1 || tileHeight < 1) return "Invalid height tile dimensions.";
    if (mosaicWidth < 1 || mosaicHeight < 1) return "Invalid height mosaic dimensions.";
    const uint64_t samples = static_cast<uint64_t>(tileWidth) * static_cast<uint64_t>(tileHeight);
    for (const std::vector<float>& tile : tiles)
        if (tile.size() != samples) return "A height tile does not hold tileWidth x tileHeight samples.";
    for (const auto& [x, y] : positions)
        if (!std::isfinite(x) || !std::isfinite(y)) return "A height tile position is not finite.";
    return nullptr;
}

// Mosaic columns [first, end) that lie between the edge samples of a tile starting at `start`.
void coveredSpan(double start, int length, int limit, int& first, int& end) {
    const double lo = std::ceil(start);
    const double hi = std::floor(start + length - 1) + 1.0;
    first = lo < 0.0 ? 0 : (lo > limit ? limit : static_cast<int>(lo));
    end = hi < 0.0 ? 0 : (hi > limit ? limit : static_cast<int>(hi));
}

} // namespace

bool blendHeightTiles(const std::vector<std::vector<float>>& tiles, int tileWidth, int tileHeight,
                      const std::vector<std::pair<double, double>>& positions, int mosaicWidth, int mosaicHeight,
                      int blendWidth, HeightBlendResult& out) {
    out = HeightBlendResult{};
    if (const char* invalid = invalidInputs(tiles, tileWidth, tileHeight, positions, mosaicWidth, mosaicHeight))
        return fail(out, invalid);
    const long long count = static_cast<long long>(mosaicWidth) * mosaicHeight;
    const uint64_t mosaicBytes = static_cast<uint64_t>(count) * sizeof(float);
    const uint64_t tileBytes = static_cast<uint64_t>(tileWidth) * tileHeight * sizeof(float);
    const float band = static_cast<float>(blendWidth < 1 ? 1 : blendWidth);
    try {
        DeviceBufferPool::Lease sum, weight, tile, result;
        DeviceBufferPool& pool = DeviceBufferPool::instance();
        if (int code = pool.acquire(mosaicBytes, sum)) return fail(out, cudaErrorMessage(code, "cudaMalloc sum"));
        if (int code = pool.acquire(mosaicBytes, weight))
            return fail(out, cudaErrorMessage(code, "cudaMalloc weight"));
        if (int code = pool.acquire(tileBytes, tile)) return fail(out, cudaErrorMessage(code, "cudaMalloc tile"));
        if (int code = pool.acquire(mosaicBytes, result))
            return fail(out, cudaErrorMessage(code, "cudaMalloc heights"));
        cudaError_t code = cudaMemset(sum.get(), 0, mosaicBytes);
        if (code == cudaSuccess) code = cudaMemset(weight.get(), 0, mosaicBytes);
        if (code != cudaSuccess) return fail(out, cudaErrorMessage(code, "cudaMemset"));
        for (size_t t = 0; t < tiles.size(); ++t) {
            int x0, x1, y0, y1;
            coveredSpan(positions[t].first, tileWidth, mosaicWidth, x0, x1);
            coveredSpan(positions[t].second, tileHeight, mosaicHeight, y0, y1);
            if (x1 <= x0 || y1 <= y0) continue;
            code = cudaMemcpy(tile.get(), tiles[t].data(), tileBytes, cudaMemcpyHostToDevice);
            if (code != cudaSuccess) return fail(out, cudaErrorMessage(code, "cudaMemcpy tile"));
            const int boxWidth = x1 - x0;
            const long long boxCount = static_cast<long long>(boxWidth) * (y1 - y0);
            const unsigned blocks = static_cast<unsigned>((boxCount + kThreadsPerBlock - 1) / kThreadsPerBlock);
            TAVRO_LAUNCH(accumulate_height_tile_kernel, dim3(blocks), dim3(kThreadsPerBlock), 0,
                         static_cast<const float*>(tile.get()), tileWidth, tileHeight, positions[t].first,
                         positions[t].second, x0, y0, boxWidth, boxCount, mosaicWidth, band, sum.as<float>(),
                         weight.as<float>());
            code = cudaGetLastError();
            if (code != cudaSuccess) return fail(out, cudaErrorMessage(code, "accumulate_height_tile_kernel launch"));
            code = cudaDeviceSynchronize();
            if (code != cudaSuccess) return fail(out, cudaErrorMessage(code, "cudaDeviceSynchronize"));
        }
        const unsigned blocks = static_cast<unsigned>((count + kThreadsPerBlock - 1) / kThreadsPerBlock);
        TAVRO_LAUNCH(finish_height_blend_kernel, dim3(blocks), dim3(kThreadsPerBlock), 0,
                     static_cast<const float*>(sum.get()), static_cast<const float*>(weight.get()), count,
                     result.as<float>());
        code = cudaGetLastError();
        if (code != cudaSuccess) return fail(out, cudaErrorMessage(code, "finish_height_blend_kernel launch"));
        code = cudaDeviceSynchronize();
        if (code != cudaSuccess) return fail(out, cudaErrorMessage(code, "cudaDeviceSynchronize"));
        out.heights.resize(static_cast<size_t>(count));
        code = cudaMemcpy(out.heights.data(), result.get(), mosaicBytes, cudaMemcpyDeviceToHost);
        if (code != cudaSuccess) return fail(out, cudaErrorMessage(code, "cudaMemcpy heights"));
    } catch (const std::bad_alloc&) {
        return fail(out, "Not enough memory to blend the height tiles.");
    }
    out.width = mosaicWidth;
    out.height = mosaicHeight;
    out.success = true;
    return true;
}

} // namespace tavro
