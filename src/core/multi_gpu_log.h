#pragma once
// The engine's process-wide diagnostic log of GPU decisions. Lines go to the sink
// the application installs, or to a text file when TAVRO_MGPU_LOG names one or
// no sink is installed.

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>

namespace tavro {

class MultiGpuLog {
public:
    using Sink = std::function<void(const std::string&)>;

    // The process's logger. Other instances exist only in tests.
    static MultiGpuLog& instance();

    MultiGpuLog() = default;
    MultiGpuLog(const MultiGpuLog&) = delete;
    MultiGpuLog& operator=(const MultiGpuLog&) = delete;
    ~MultiGpuLog() = default;

    // The sink runs under the log's mutex; it may take locks of its own but must
    // not write to this log.
    void setSink(Sink sink);

    // Writes one line; never throws and never fails the caller.
    void write(const std::string& text);

    // Where the file goes: TAVRO_MGPU_LOG, else the per-user log folder, else a
    // temporary folder; never the working directory.
    static std::string resolvePath();

    // "2024-05-01 09:03:07.045" in local time.
    static std::string formatTimeStamp(std::chrono::system_clock::time_point when);
    // Time stamp, " tid=", thread id, a space, the text.
    static std::string formatLine(std::chrono::system_clock::time_point when, uint64_t threadId,
                                  const std::string& text);
    // The id the platform's thread library reports for the calling thread.
    static uint64_t currentThreadId();

private:
    std::mutex mutex;
    std::ofstream file;
    Sink sink;
    bool fileOpened = false;
};

void mgpuLog(const std::string& text);

} // namespace tavro
