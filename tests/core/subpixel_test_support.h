#pragma once
// Shared by the sub-pixel refinement tests: grid layouts with their
// whole-pixel starts, environment and log capture, CPU device configuration.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/multi_gpu_log.h"
#include "core/pixel_search.h"
#include "core/results.h"
#include "core/subpixel_search.h"
#include "gpu/runtime_base.h"
#include "support/synthetic_images.h"

#if !defined(TAVRO_USE_CUDA)
#include "gpu/cpu_device.h"
#endif

namespace tavro::subpixel_test {

inline bool haveDevice() {
    int count = 0;
    return cudaGetDeviceCount(&count) == cudaSuccess && count > 0;
}

// The CUDA build on a machine without a GPU runs only what needs no device.
#define SUBPIXEL_REQUIRE_DEVICE()                            \
    do {                                                     \
        if (!haveDevice()) GTEST_SKIP() << "no CUDA device"; \
    } while (0)

// The grid of the pixel search over an image: window, step and reach give
// the margins and the grid size, as the refinement recomputes them.
struct GridLayout {
    PixelSearchParams params;
    ImageSize size;
    int gridWidth = 0;
    int gridHeight = 0;
    int marginX = 0;
    int marginY = 0;

    GridLayout(int width, int height, int window, int step, int reach)
        : GridLayout(width, height, window, window, step, reach) {}
    GridLayout(int width, int height, int windowX, int windowY, int step, int reach) {
        params.windowSizeX = windowX;
        params.windowSizeY = windowY;
        params.stepX = params.stepY = step;
        params.maxU = params.maxV = reach;
        params.searchUp = params.searchDown = params.searchLeft = params.searchRight = reach;
        size = {width, height};
        marginX = windowX / 2 + reach;
        marginY = windowY / 2 + reach;
        gridWidth = (width - 2 * marginX + step - 1) / step;
        gridHeight = (height - 2 * marginY + step - 1) / step;
    }

    int count() const { return gridWidth * gridHeight; }
    double x(int i) const { return marginX + (i % gridWidth) * params.stepX; }
    double y(int i) const { return marginY + (i / gridWidth) * params.stepY; }

    // What the integer-pixel search would find: the true displacement rounded.
    PixelDisplacementResult start(const testing::DisplacementField& u) const {
        PixelDisplacementResult r;
        r.gridWidth = gridWidth;
        r.gridHeight = gridHeight;
        for (int i = 0; i < count(); ++i) {
            const testing::Vec2 d = u(x(i), y(i));
            r.dispX.push_back(static_cast<float>(std::lround(d[0])));
            r.dispY.push_back(static_cast<float>(std::lround(d[1])));
        }
        return r;
    }
};

// A smooth, richly textured pattern seen through a translation: the deformed
// image at x shows the pattern at x - (ux, uy). Cheap at any size, for tests
// that compare paths rather than measure accuracy.
inline testing::Image wavePattern(int width, int height, double ux = 0.0, double uy = 0.0) {
    testing::Image image(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double X = x - ux, Y = y - uy;
            image.at(x, y) = static_cast<float>(100.0 + 30.0 * std::sin(0.9 * X + 0.4 * Y) +
                                                25.0 * std::sin(0.35 * X - 1.1 * Y + 1.0) +
                                                20.0 * std::cos(1.3 * X + 0.8 * Y) +
                                                15.0 * std::sin(0.5 * X) * std::cos(0.7 * Y));
        }
    return image;
}

inline SubpixelParams refinement(int interpolation, bool affine, int maxIterations = 20, float tolerance = 1e-4f) {
    SubpixelParams p;
    p.interpolation = interpolation;
    p.affine = affine;
    p.maxIterations = maxIterations;
    p.convergenceTolerance = tolerance;
    return p;
}

// The whole grid from a host start, failing the test on an error.
inline PixelDisplacementResult refine(const GridLayout& grid, const testing::Image& reference,
                                      const testing::Image& deformed, const PixelDisplacementResult& start,
                                      const SubpixelParams& params, const uint8_t* mask = nullptr, int maskStride = 0,
                                      int maskRows = 0) {
    PixelDisplacementResult out;
    std::string error;
    const ImageSource ref(reference.pixels.data()), def(deformed.pixels.data());
    EXPECT_TRUE(computeSubpixelDisplacements(ref, def, grid.size, grid.params, start, params, out, error, {}, mask,
                                             maskStride, maskRows, 0, -1))
        << error;
    return out;
}

// Equal field by field (NaN matching NaN); `tolerance` 0 asks for equal bits.
inline void expectSameFields(const PixelDisplacementResult& a, const PixelDisplacementResult& b,
                             double tolerance = 0.0) {
    EXPECT_EQ(a.gridWidth, b.gridWidth);
    EXPECT_EQ(a.gridHeight, b.gridHeight);
    const std::vector<float> PixelDisplacementResult::*fields[] = {
        &PixelDisplacementResult::dispX, &PixelDisplacementResult::dispY, &PixelDisplacementResult::duDx,
        &PixelDisplacementResult::duDy,  &PixelDisplacementResult::dvDx,  &PixelDisplacementResult::dvDy};
    for (auto field : fields) {
        const std::vector<float>& x = a.*field;
        const std::vector<float>& y = b.*field;
        ASSERT_EQ(x.size(), y.size());
        for (size_t i = 0; i < x.size(); ++i) {
            if (std::isnan(x[i]) || std::isnan(y[i])) {
                ASSERT_TRUE(std::isnan(x[i]) && std::isnan(y[i])) << "point " << i;
            } else if (tolerance == 0.0) {
                ASSERT_EQ(x[i], y[i]) << "point " << i;
            } else {
                ASSERT_NEAR(x[i], y[i], tolerance) << "point " << i;
            }
        }
    }
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (saved_)
            setenv(name_.c_str(), saved_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> saved_;
};

// The texts of the multi-GPU log's lines, without time stamp and thread id.
class LogCapture {
public:
    LogCapture() : file_("TAVRO_MGPU_LOG", nullptr) {
        MultiGpuLog::instance().setSink([this](const std::string& line) {
            const size_t tid = line.find(" tid=");
            const size_t space = tid == std::string::npos ? std::string::npos : line.find(' ', tid + 1);
            std::lock_guard lock(mutex_);
            lines_.push_back(space == std::string::npos ? line : line.substr(space + 1));
        });
    }
    ~LogCapture() { MultiGpuLog::instance().setSink({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    int count(const std::string& prefix) const {
        int n = 0;
        for (const std::string& line : lines())
            if (line.rfind(prefix, 0) == 0) ++n;
        return n;
    }

private:
    ScopedEnv file_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

#if !defined(TAVRO_USE_CUDA)
// A reconfigured CPU device for the test's duration; the pool is emptied
// before and after, as reconfiguration requires.
class ScopedCpuDevice {
public:
    explicit ScopedCpuDevice(const gpu::CpuDeviceSpec& device, int launchThreads = 0) {
        DeviceBufferPool::instance().releaseAll();
        gpu::CpuRuntimeConfig config;
        config.devices = {device};
        config.launchThreads = launchThreads;
        gpu::configureCpuRuntime(config);
    }
    ~ScopedCpuDevice() {
        DeviceBufferPool::instance().releaseAll();
        gpu::configureCpuRuntime(gpu::defaultCpuRuntimeConfig());
    }
    ScopedCpuDevice(const ScopedCpuDevice&) = delete;
    ScopedCpuDevice& operator=(const ScopedCpuDevice&) = delete;
};
#endif

} // namespace tavro::subpixel_test
