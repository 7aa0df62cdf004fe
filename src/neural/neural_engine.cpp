#include "neural/neural_engine.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

#include "core/driver_support.h"
#include "gpu/runtime.h"
#include "neural/inference_kernels.h"
#include "neural/refine_network.h"

namespace tavro::neural {
namespace {

const char* const kCancelled = "Neural correlation cancelled.";
// A start point farther than this from every neighbour (either component, px)
// is a false match of the integer search.
constexpr float kOutlierDistance = 1.5f;

struct TileOrigin {
    int32_t x = 0;
    int32_t y = 0;
};

// Tile starts along one axis: every stride, the last one flush with the far edge.
std::vector<int32_t> tileStarts(int32_t extent, int32_t size, int32_t stride) {
    if (extent <= size) return {0};
    std::vector<int32_t> starts;
    for (int64_t p = 0;; p += stride) {
        if (p + size >= extent) {
            starts.push_back(extent - size);
            return starts;
        }
        starts.push_back(int32_t(p));
    }
}

// The network sees zero padding beyond a tile, so its answer is weakest at the
// tile's edge; weights rise linearly over half the overlap and never reach 0,
// so that image borders, covered by one tile only, still get a value.
float taper(int32_t distanceToEdge, int32_t ramp) {
    return float(std::min(distanceToEdge, ramp) + 1) / float(ramp + 1);
}

float median(std::vector<float>& values) {
    const size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + long(mid), values.end());
    return values[mid];
}

struct Accumulator {
    std::vector<float> u, v, w;
    explicit Accumulator(size_t points) : u(points, 0.0f), v(points, 0.0f), w(points, 0.0f) {}
};

class SharedProgress {
public:
    SharedProgress(const TileProgressCallback& callback, int64_t total) : callback_(callback), total_(total) {}
    bool advance(int64_t tiles) {
        if (stop_.load()) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        done_ += tiles;
        if (callback_ && !callback_(done_, total_)) stop_.store(true);
        return !stop_.load();
    }
    void stop() { stop_.store(true); }
    bool stopped() const { return stop_.load(); }

private:
    const TileProgressCallback& callback_;
    const int64_t total_;
    std::mutex mutex_;
    int64_t done_ = 0;
    std::atomic<bool> stop_{false};
};

struct RunJob {
    const ImageSource& reference;
    const ImageSource& deformed;
    int32_t width;
    int32_t height;
    NeuralSettings settings;
    const NeuralWeights& weights;
    const StartField& start;
    const GridDescriptor& output;
    const std::vector<TileOrigin>& tiles;
};

// One device's share of the tiles, run on the calling thread.
class DeviceRun {
public:
    DeviceRun(const RunJob& job, SharedProgress& progress, Accumulator& sums)
        : job_(job), progress_(progress), sums_(sums) {}

    bool run(int device, size_t firstTile, size_t endTile, std::string& error);

private:
    bool check(cudaError_t code, const char* step, std::string& error) {
        if (code == cudaSuccess) return true;
        error = cudaErrorMessage(code, step);
        return false;
    }
    bool upload(const ImageSource& source, DeviceBufferPool::Lease& lease, std::string& error);
    bool runBatch(size_t first, int count, std::string& error);
    // Network passes per tile: the antisymmetric models also run with the tiles swapped.
    int passes() const { return antisymmetricModel(job_.weights.modelVersion) ? 2 : 1; }
    void blend(size_t first, int count);

    const RunJob& job_;
    SharedProgress& progress_;
    Accumulator& sums_;
    RefineNetwork network_;
    DeviceBufferPool::Lease referenceLease_, deformedLease_, originLease_, flowLease_;
    std::vector<int32_t> origins_;
    std::vector<float> flow_;
};

bool DeviceRun::upload(const ImageSource& source, DeviceBufferPool::Lease& lease, std::string& error) {
    const int32_t width = job_.width;
    const uint64_t bytes = uint64_t(width) * uint64_t(job_.height) * sizeof(float);
    const int code = DeviceBufferPool::instance().acquire(bytes, lease);
    if (code != 0) return check(cudaError_t(code), "neural image buffer", error);
    float* target = lease.as<float>();
    std::vector<float> scratch;
    const cudaError_t status = detail::uploadInBands(
        source, width, job_.height, scratch, [&](const float* rows, int first, int end) {
            return cudaMemcpy(target + int64_t(first) * width, rows, size_t(end - first) * width * sizeof(float),
                              cudaMemcpyHostToDevice);
        });
    return check(status, "neural image upload", error);
}

bool DeviceRun::run(int device, size_t firstTile, size_t endTile, std::string& error) {
    if (!check(cudaSetDevice(device), "cudaSetDevice", error)) return false;
    if (!upload(job_.reference, referenceLease_, error) || !upload(job_.deformed, deformedLease_, error)) return false;
    const int size = job_.settings.tileSize;
    // At least eight batches when the tiles allow: progress is counted per batch,
    // and one batch for the whole image would show 0 % until the end.
    const size_t tiles = endTile - firstTile;
    int batch = int(std::min<size_t>(size_t(job_.settings.tilesPerBatch), std::max<size_t>((tiles + 7) / 8, 1)));
    // Halve the batch until its buffers fit the device.
    for (;;) {
        std::string why;
        if (network_.prepare(job_.weights, size, batch * passes(), why)) break;
        if (batch == 1) {
            error = why;
            return false;
        }
        (void)cudaGetLastError();
        batch = (batch + 1) / 2;
    }
    const uint64_t plane = uint64_t(size) * size;
    int code = DeviceBufferPool::instance().acquire(uint64_t(batch) * 2 * sizeof(int32_t), originLease_);
    if (code == 0) code = DeviceBufferPool::instance().acquire(uint64_t(batch) * 2 * plane * sizeof(float), flowLease_);
    if (code != 0) return check(cudaError_t(code), "neural tile buffers", error);
    for (size_t first = firstTile; first < endTile; first += size_t(batch)) {
        if (progress_.stopped()) return false;
        const int count = int(std::min<size_t>(size_t(batch), endTile - first));
        if (!runBatch(first, count, error)) return false;
        blend(first, count);
        if (!progress_.advance(count)) return false;
    }
    return true;
}

bool DeviceRun::runBatch(size_t first, int count, std::string& error) {
    const int size = job_.settings.tileSize;
    const int64_t plane = int64_t(size) * size;
    origins_.resize(size_t(count) * 2);
    flow_.resize(size_t(count) * 2 * size_t(plane));
    for (int n = 0; n < count; ++n) {
        const TileOrigin& tile = job_.tiles[first + size_t(n)];
        origins_[2 * size_t(n)] = tile.x;
        origins_[2 * size_t(n) + 1] = tile.y;
        float* u = flow_.data() + int64_t(n) * 2 * plane;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                job_.start.sample(tile.x + x, tile.y + y, u[y * size + x], u[plane + y * size + x]);
    }
    int32_t* dOrigins = originLease_.as<int32_t>();
    float* dFlow = flowLease_.as<float>();
    if (!check(cudaMemcpy(dOrigins, origins_.data(), origins_.size() * sizeof(int32_t), cudaMemcpyHostToDevice),
               "neural tile upload", error) ||
        !check(cudaMemcpy(dFlow, flow_.data(), flow_.size() * sizeof(float), cudaMemcpyHostToDevice),
               "neural tile upload", error))
        return false;

    // Input item n holds (reference, warped) of tile n; for a second pass, item
    // count + n holds the same tiles in the other order.
    const int passes = this->passes();
    const int64_t swapped = int64_t(count) * 2 * plane;
    auto channel = [&](int pass, int order) {
        return TensorView{network_.input() + pass * swapped + order * plane, 2 * plane};
    };
    const TensorView flow{dFlow, 2 * plane};
    const ConstTensorView residual{network_.residual(), 2 * plane};
    const ConstTensorView backward{passes == 2 ? network_.residual() + swapped : nullptr, 2 * plane};
    cudaError_t status = cudaSuccess;
    for (int pass = 0; pass < passes && status == cudaSuccess; ++pass) {
        const TensorView reference = channel(pass, pass);
        status = warpTiles(referenceLease_.as<float>(), job_.width, job_.height, dOrigins, nullptr, reference, size,
                           count);
        if (status == cudaSuccess) status = normalizeTiles(reference, int(plane), count);
    }
    for (uint32_t k = 0; status == cudaSuccess && k < job_.weights.iterations; ++k) {
        for (int pass = 0; pass < passes && status == cudaSuccess; ++pass) {
            const TensorView warped = channel(pass, 1 - pass);
            status = warpTiles(deformedLease_.as<float>(), job_.width, job_.height, dOrigins, dFlow, warped, size,
                               count);
            if (status == cudaSuccess) status = normalizeTiles(warped, int(plane), count);
        }
        if (status == cudaSuccess) status = network_.forward(passes * count);
        if (status == cudaSuccess) status = addResidual(flow, residual, backward, 2 * plane, count);
    }
    if (!check(status, "neural inference", error)) return false;
    return check(cudaMemcpy(flow_.data(), dFlow, flow_.size() * sizeof(float), cudaMemcpyDeviceToHost),
                 "neural tile download", error);
}

void DeviceRun::blend(size_t first, int count) {
    const GridDescriptor& g = job_.output;
    const int32_t size = job_.settings.tileSize;
    const int64_t plane = int64_t(size) * size;
    const int32_t ramp = std::max(1, (size - job_.settings.tileStride) / 2);
    auto firstIndex = [](int32_t lo, int32_t origin, int32_t step) {
        return lo <= origin ? 0 : (lo - origin + step - 1) / step;
    };
    for (int n = 0; n < count; ++n) {
        const TileOrigin& tile = job_.tiles[first + size_t(n)];
        const float* u = flow_.data() + int64_t(n) * 2 * plane;
        const float* v = u + plane;
        const int32_t right = std::min(tile.x + size, job_.width), bottom = std::min(tile.y + size, job_.height);
        for (int32_t j = firstIndex(tile.y, g.originY, g.stepY); j < g.rows; ++j) {
            const int32_t y = g.originY + j * g.stepY;
            if (y >= bottom) break;
            const int32_t ly = y - tile.y;
            const float wy = taper(std::min(ly, size - 1 - ly), ramp);
            for (int32_t i = firstIndex(tile.x, g.originX, g.stepX); i < g.cols; ++i) {
                const int32_t x = g.originX + i * g.stepX;
                if (x >= right) break;
                const int32_t lx = x - tile.x;
                const float w = wy * taper(std::min(lx, size - 1 - lx), ramp);
                const size_t at = size_t(j) * size_t(g.cols) + size_t(i);
                const int64_t local = int64_t(ly) * size + lx;
                sums_.u[at] += w * u[local];
                sums_.v[at] += w * v[local];
                sums_.w[at] += w;
            }
        }
    }
}

} // namespace

bool parseNeuralSettings(const std::array<int32_t, 4>& values, NeuralSettings& out, std::string& error) {
    const NeuralSettings s{values[0], values[1], values[2], values[3]};
    if (s.modelVersion < 0) error = "Invalid neural model version " + std::to_string(s.modelVersion) + ".";
    else if (s.tileSize < 32 || s.tileSize > 512 || s.tileSize % kTileGranularity != 0)
        error = "Neural tile size must be a multiple of 4 from 32 to 512 (got " + std::to_string(s.tileSize) + ").";
    else if (s.tileStride < 1 || s.tileStride > s.tileSize)
        error = "Neural tile stride must be from 1 to the tile size (got " + std::to_string(s.tileStride) + ").";
    else if (s.tilesPerBatch < 1 || s.tilesPerBatch > 256)
        error = "Neural tiles per batch must be from 1 to 256 (got " + std::to_string(s.tilesPerBatch) + ").";
    else {
        out = s;
        return true;
    }
    return false;
}

bool outputGrid(const GridDescriptor& start, int32_t width, int32_t height, int32_t stepX, int32_t stepY,
                GridDescriptor& out) {
    if (stepX < 1 || stepY < 1 || start.originX < 0 || start.originY < 0) return false;
    const int64_t usableX = int64_t(width) - 2 * int64_t(start.originX);
    const int64_t usableY = int64_t(height) - 2 * int64_t(start.originY);
    if (usableX < 1 || usableY < 1) return false;
    out = {int32_t((usableX + stepX - 1) / stepX), int32_t((usableY + stepY - 1) / stepY), start.originX,
           start.originY, stepX, stepY};
    return true;
}

StartField::StartField(const PixelDisplacementResult& start, const GridDescriptor& grid)
    : grid_(grid), u_(start.dispX), v_(start.dispY) {
    const int32_t cols = grid.cols, rows = grid.rows;
    std::vector<float> nu, nv, allU, allV;
    for (size_t k = 0; k < u_.size(); ++k)
        if (std::isfinite(u_[k]) && std::isfinite(v_[k])) {
            allU.push_back(u_[k]);
            allV.push_back(v_[k]);
        }
    const float fallbackU = allU.empty() ? 0.0f : median(allU), fallbackV = allV.empty() ? 0.0f : median(allV);
    std::vector<float> cleanU = u_, cleanV = v_;
    for (int32_t j = 0; j < rows; ++j)
        for (int32_t i = 0; i < cols; ++i) {
            const size_t at = size_t(j) * size_t(cols) + size_t(i);
            const bool finite = std::isfinite(u_[at]) && std::isfinite(v_[at]);
            nu.clear();
            nv.clear();
            bool near = false;
            for (int32_t dj = -1; dj <= 1; ++dj)
                for (int32_t di = -1; di <= 1; ++di) {
                    const int32_t ni = i + di, nj = j + dj;
                    if ((di == 0 && dj == 0) || ni < 0 || nj < 0 || ni >= cols || nj >= rows) continue;
                    const size_t k = size_t(nj) * size_t(cols) + size_t(ni);
                    if (!std::isfinite(u_[k]) || !std::isfinite(v_[k])) continue;
                    nu.push_back(u_[k]);
                    nv.push_back(v_[k]);
                    if (finite && std::fabs(u_[k] - u_[at]) <= kOutlierDistance &&
                        std::fabs(v_[k] - v_[at]) <= kOutlierDistance)
                        near = true;
                }
            if (finite && (near || nu.empty())) continue;
            cleanU[at] = nu.empty() ? fallbackU : median(nu);
            cleanV[at] = nv.empty() ? fallbackV : median(nv);
        }
    u_ = std::move(cleanU);
    v_ = std::move(cleanV);
}

void StartField::sample(double x, double y, float& u, float& v) const {
    const double gx = std::clamp((x - grid_.originX) / grid_.stepX, 0.0, double(grid_.cols - 1));
    const double gy = std::clamp((y - grid_.originY) / grid_.stepY, 0.0, double(grid_.rows - 1));
    const int32_t i0 = std::min(int32_t(gx), grid_.cols - 1), j0 = std::min(int32_t(gy), grid_.rows - 1);
    const int32_t i1 = std::min(i0 + 1, grid_.cols - 1), j1 = std::min(j0 + 1, grid_.rows - 1);
    const double fx = gx - i0, fy = gy - j0;
    auto at = [&](const std::vector<float>& f, int32_t i, int32_t j) {
        return double(f[size_t(j) * size_t(grid_.cols) + size_t(i)]);
    };
    auto bilinear = [&](const std::vector<float>& f) {
        const double top = at(f, i0, j0) * (1 - fx) + at(f, i1, j0) * fx;
        const double bottom = at(f, i0, j1) * (1 - fx) + at(f, i1, j1) * fx;
        return float(top * (1 - fy) + bottom * fy);
    };
    u = bilinear(u_);
    v = bilinear(v_);
}

std::unique_ptr<NeuralEngine> NeuralEngine::create(const std::vector<int>& devices, int32_t modelSetting,
                                                   const std::string& weightsPath, std::string& notice,
                                                   std::string& error) {
    notice.clear();
    if (devices.empty()) {
        error = "No device for the neural correlation engine.";
        return nullptr;
    }
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess) {
        (void)cudaGetLastError();
        count = 0;
    }
    for (int device : devices)
        if (device < 0 || device >= count) {
            error = "Device " + std::to_string(device) + " is not usable for the neural correlation engine.";
            return nullptr;
        }
    NeuralWeights weights;
    if (!readNeuralWeights(weightsPath, weights, error) || !checkModelLayout(weights, error)) return nullptr;
    if (modelSetting < 0 || (modelSetting != 0 && uint32_t(modelSetting) != weights.modelVersion)) {
        error = "Neural model version " + std::to_string(modelSetting) + " was requested; the weights file holds " +
                "version " + std::to_string(weights.modelVersion) + ".";
        return nullptr;
    }
    notice = "model version " + std::to_string(weights.modelVersion);
    return std::unique_ptr<NeuralEngine>(new NeuralEngine(devices, std::move(weights)));
}

bool NeuralEngine::run(const ImageSource& reference, const ImageSource& deformed, int32_t width, int32_t height,
                       const std::array<int32_t, 4>& settingValues, const PixelDisplacementResult& start,
                       const GridDescriptor& startGrid, int32_t outStepX, int32_t outStepY,
                       PixelDisplacementResult& out, const TileProgressCallback& progress, std::string& error) const {
    NeuralSettings settings;
    if (!parseNeuralSettings(settingValues, settings, error)) return false;
    if (settings.modelVersion != 0 && uint32_t(settings.modelVersion) != weights_.modelVersion) {
        error = "The session runs neural model version " + std::to_string(weights_.modelVersion) + ", not " +
                std::to_string(settings.modelVersion) + ".";
        return false;
    }
    if (!reference.valid() || !deformed.valid() || width < 1 || height < 1) {
        error = "Invalid images for the neural correlation.";
        return false;
    }
    const uint64_t startPoints = uint64_t(std::max(startGrid.cols, 0)) * uint64_t(std::max(startGrid.rows, 0));
    if (startPoints == 0 || startGrid.stepX < 1 || startGrid.stepY < 1 || start.dispX.size() != startPoints ||
        start.dispY.size() != startPoints) {
        error = "Pixel-accuracy grid does not match the grid descriptor.";
        return false;
    }
    GridDescriptor grid;
    if (!outputGrid(startGrid, width, height, outStepX, outStepY, grid)) {
        error = "Window or search area too large for image.";
        return false;
    }

    std::vector<TileOrigin> tiles;
    for (int32_t y : tileStarts(height, settings.tileSize, settings.tileStride))
        for (int32_t x : tileStarts(width, settings.tileSize, settings.tileStride)) tiles.push_back({x, y});
    const StartField field(start, startGrid);
    const RunJob job{reference, deformed, width, height, settings, weights_, field, grid, tiles};
    SharedProgress shared(progress, int64_t(tiles.size()));
    const size_t points = size_t(grid.cols) * size_t(grid.rows);

    // Contiguous shares, one per device; each device blends into its own sums,
    // added in device order, so the answer does not depend on timing.
    const size_t deviceCount = std::min(devices_.size(), tiles.size());
    std::vector<Accumulator> sums(deviceCount, Accumulator(points));
    std::vector<std::string> errors(deviceCount);
    std::vector<char> ok(deviceCount, 0);
    auto share = [&](size_t d) {
        DeviceRun run(job, shared, sums[d]);
        const size_t first = tiles.size() * d / deviceCount, end = tiles.size() * (d + 1) / deviceCount;
        ok[d] = run.run(devices_[d], first, end, errors[d]);
        if (!ok[d]) shared.stop();
    };
    if (deviceCount == 1) {
        int previous = 0;
        const bool restore = cudaGetDevice(&previous) == cudaSuccess;
        share(0);
        if (restore) (void)cudaSetDevice(previous);
    } else {
        std::vector<std::thread> threads;
        for (size_t d = 0; d < deviceCount; ++d) threads.emplace_back(share, d);
        for (std::thread& t : threads) t.join();
    }
    for (size_t d = 0; d < deviceCount; ++d)
        if (!ok[d] && !errors[d].empty()) {
            error = errors[d];
            return false;
        }
    if (shared.stopped()) {
        error = kCancelled;
        return false;
    }

    out = PixelDisplacementResult();
    out.gridWidth = grid.cols;
    out.gridHeight = grid.rows;
    out.dispX.assign(points, 0.0f);
    out.dispY.assign(points, 0.0f);
    for (size_t k = 0; k < points; ++k) {
        float su = 0.0f, sv = 0.0f, sw = 0.0f;
        for (const Accumulator& a : sums) {
            su += a.u[k];
            sv += a.v[k];
            sw += a.w[k];
        }
        const bool covered = sw > 0.0f;
        out.dispX[k] = covered ? su / sw : std::nanf("");
        out.dispY[k] = covered ? sv / sw : std::nanf("");
    }
    return true;
}

} // namespace tavro::neural
