#include "core/multi_gpu_log.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace tavro {
namespace {

namespace fs = std::filesystem;

const char* nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

// The folder, created if need be; false when it cannot be had.
bool makeFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    return fs::is_directory(folder, ec);
}

fs::path appLogFolder() { return fs::path("Quillmar") / "Tavro2D" / "logs"; }

} // namespace

MultiGpuLog& MultiGpuLog::instance() {
    static MultiGpuLog log;
    return log;
}

void MultiGpuLog::setSink(Sink newSink) {
    Sink old;
    {
        std::lock_guard lock(mutex);
        old = std::exchange(sink, std::move(newSink));
    }
}

void MultiGpuLog::write(const std::string& text) {
    // A diagnostic line is never worth failing a computation for.
    try {
        const uint64_t tid = currentThreadId();
        std::lock_guard lock(mutex);
        const auto now = std::chrono::system_clock::now();
        const bool fileRequested = nonEmptyEnv("TAVRO_MGPU_LOG") != nullptr;
        if (sink && !fileRequested) {
            sink(formatLine(now, tid, text));
            return;
        }
        if (!fileOpened) {
            fileOpened = true;
            const std::string path = resolvePath();
            // Append mode: other processes may be writing the same file.
            file.open(path, std::ios::out | std::ios::app | std::ios::binary);
            if (file.is_open()) {
                file << formatTimeStamp(now) << " SESSION_OPEN path=" << path << '\n';
                file.flush();
            }
        }
        if (file.is_open()) {
            file << formatLine(now, tid, text) << '\n';
            file.flush();
        }
    } catch (...) {
    }
}

std::string MultiGpuLog::resolvePath() {
    if (const char* explicitPath = nonEmptyEnv("TAVRO_MGPU_LOG")) return explicitPath;
    if (const char* localAppData = nonEmptyEnv("LOCALAPPDATA")) {
        const fs::path folder = fs::path(localAppData) / appLogFolder();
        makeFolder(folder);
        return (folder / "multi_gpu.log").string();
    }
    if (const char* temp = nonEmptyEnv("TEMP")) return (fs::path(temp) / "tavro_multi_gpu.log").string();

    // Where Linux keeps per-user logs. A relative XDG path is invalid by the XDG
    // rules, and would put the log wherever the program happened to start.
    fs::path stateHome;
    if (const char* xdg = nonEmptyEnv("XDG_STATE_HOME"); xdg && fs::path(xdg).is_absolute())
        stateHome = xdg;
    else if (const char* home = nonEmptyEnv("HOME"); home && fs::path(home).is_absolute())
        stateHome = fs::path(home) / ".local" / "state";
    if (!stateHome.empty()) {
        const fs::path folder = stateHome / appLogFolder();
        if (makeFolder(folder)) return (folder / "multi_gpu.log").string();
    }
    const char* tmp = nonEmptyEnv("TMPDIR");
    const fs::path tmpFolder = tmp && fs::path(tmp).is_absolute() ? fs::path(tmp) : fs::path("/tmp");
    return (tmpFolder / "tavro_multi_gpu.log").string();
}

std::string MultiGpuLog::formatTimeStamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<milliseconds>(when.time_since_epoch()).count();
    const auto millis = static_cast<int>(((sinceEpoch % 1000) + 1000) % 1000);
    const std::time_t seconds = static_cast<std::time_t>((sinceEpoch - millis) / 1000);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[64];
    const size_t n = std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof(text) - n, ".%03d", millis);
    return text;
}

std::string MultiGpuLog::formatLine(std::chrono::system_clock::time_point when, uint64_t threadId,
                                    const std::string& text) {
    std::string line = formatTimeStamp(when);
    line += " tid=";
    line += std::to_string(threadId);
    line += ' ';
    line += text;
    return line;
}

uint64_t MultiGpuLog::currentThreadId() {
#if defined(_WIN32)
    return static_cast<uint64_t>(GetCurrentThreadId());
#elif defined(__linux__)
    // The kernel's thread id: the number debuggers, top and the crash report show.
    return static_cast<uint64_t>(::syscall(SYS_gettid));
#else
    return static_cast<uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
#endif
}

void mgpuLog(const std::string& text) { MultiGpuLog::instance().write(text); }

} // namespace tavro
