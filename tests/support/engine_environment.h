#pragma once
// Engine test environment: a reconfigured CPU device and the multi-GPU log's
// lines. For tests that link the engine (tavro_core).

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/gpu_common.h"
#include "core/multi_gpu_log.h"
#include "support/device_objects.h"

#if !defined(TAVRO_USE_CUDA)
#include "gpu/block.h"
#include "gpu/cpu_device.h"
#endif

namespace tavro::testing {

#if !defined(TAVRO_USE_CUDA)
inline gpu::CpuDeviceSetup cpuDeviceWithMemory(uint64_t bytes) {
    gpu::CpuDeviceSetup device = gpu::defaultCpuRuntimeConfig().devices.front();
    device.memoryBytes = bytes;
    return device;
}

// Reconfigured CPU devices for the scope's duration; the pool is emptied
// before and after, as reconfiguration requires, and the phase order restored.
class ScopedCpuDevice {
public:
    explicit ScopedCpuDevice(const gpu::CpuDeviceSetup& device, int launchThreads = 0)
        : ScopedCpuDevice(std::vector<gpu::CpuDeviceSetup>{device}, launchThreads) {}
    explicit ScopedCpuDevice(std::vector<gpu::CpuDeviceSetup> devices, int launchThreads = 0) {
        DeviceBufferPool::instance().releaseAll();
        reversePhases_ = gpu::detail::reversePhaseOrder();
        gpu::CpuRuntimeConfig config;
        config.devices = std::move(devices);
        config.launchThreads = launchThreads;
        gpu::configureCpuRuntime(config);
    }
    ~ScopedCpuDevice() {
        DeviceBufferPool::instance().releaseAll();
        gpu::setReversePhaseOrder(reversePhases_);
        gpu::configureCpuRuntime(gpu::defaultCpuRuntimeConfig());
    }
    ScopedCpuDevice(const ScopedCpuDevice&) = delete;
    ScopedCpuDevice& operator=(const ScopedCpuDevice&) = delete;

private:
    bool reversePhases_ = false;
};
#endif

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

    // The lines that start with `prefix`, in order.
    std::vector<std::string> lines(const std::string& prefix = "") const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> found;
        for (const std::string& line : lines_)
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }
    int count(const std::string& prefix) const { return int(lines(prefix).size()); }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    ScopedEnv file_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

} // namespace tavro::testing
