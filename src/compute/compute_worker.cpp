#include "compute/compute_worker.h"

#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "compute/compute_worker_stages.h"
#include "core/gpu_common.h"
#include "core/multi_gpu_log.h"
#include "gpu/runtime_base.h"

namespace tavro::gui {

void logVramUsage(const char* label) {
    if (!std::getenv("TAVRO_AI_VRAM")) return;
    size_t freeBytes = 0, totalBytes = 0;
    if (cudaMemGetInfo(&freeBytes, &totalBytes) != cudaSuccess) {
        (void)cudaGetLastError();
        return;
    }
    const uint64_t free = freeBytes, total = totalBytes;
    const uint64_t used = total > free ? total - free : 0;
    mgpuLog("VRAM " + std::string(label ? label : "") + " used=" + std::to_string(used >> 20) +
            "MB free=" + std::to_string(free >> 20) + "MB total=" + std::to_string(total >> 20) + "MB");
}

int rigidShiftScale(int64_t pixels) {
    if (pixels > 100000000) return 16;
    if (pixels > 10000000) return 8;
    return 1;
}

int strainGridSpacing(int32_t stepX, int32_t stepY) {
    const int32_t spacing = std::min(stepX, stepY);
    return spacing < 2 ? 1 : spacing;
}

ComputeWorker::ComputeWorker(QObject* parent) : QObject(parent) {}

ComputeWorker::~ComputeWorker() = default;

void ComputeWorker::setNeuralSessionFactory(NeuralSessionFactory factory) { sessionFactory = std::move(factory); }

void ComputeWorker::startComputation(tavro::gui::ComputationRequest request) {
    bool finished = false;
    // The pipeline, and every lease it holds, is gone before a handler runs, so
    // the pool can drop all its buffers. A request that already ended keeps its
    // single terminal signal.
    const auto failWith = [&](const QString& status, const QString& details) {
        DeviceBufferPool::instance().releaseAll();
        if (finished) return;
        finished = true;
        emit failed(status, details);
    };
    try {
        detail::WorkerPipeline pipeline({*this, cancelRequested, neuralSession, sessionFactory, finished}, request);
        pipeline.run();
    } catch (const std::bad_alloc&) {
        failWith(QStringLiteral("Out of memory: the ROI is too large for the available RAM. Increase the step "
                                "(spacing), reduce the ROI, or free up memory."),
                 QStringLiteral("std::bad_alloc (host out of memory)"));
    } catch (const std::exception& e) {
        failWith(QStringLiteral("Unexpected error during computation."), QString::fromUtf8(e.what()));
    } catch (...) {
        // Anything else would leave the queued slot and end the program.
        failWith(QStringLiteral("Unexpected error during computation."), QString());
    }
}

void ComputeWorker::cancel() { cancelRequested.store(true); }

void ComputeWorker::releaseAiSession() {}

} // namespace tavro::gui
