#pragma once
// Engine test environment: a reconfigured CPU device and the multi-GPU log's
// lines. For tests that link the engine (tavro_core).

#include <cstdint>
#include <mutex>
#include <string>
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
inline gpu::CpuDeviceSpec cpuDeviceWithMemory(uint64_t bytes) {
    gpu::CpuDeviceSpec device = gpu::defaultCpuRuntimeConfig().devices.front();
    device.memoryBytes = bytes;
    return device;
}

// A reconfigured CPU device for the scope's duration; the pool is emptied
// before and after, as reconfiguration requires, and the phase order restored.
class ScopedCpuDevice {
public:
    explicit ScopedCpuDevice(const gpu::CpuDeviceSpec& device, int launchThreads = 0) {
        DeviceBufferPool::instance().releaseAll();
        reversePhases_ = gpu::detail::reversePhaseOrder();
        gpu::CpuRuntimeConfig config;
        config.devices = {device};
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

} // namespace tavro::testing
