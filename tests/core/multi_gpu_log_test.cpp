#include "core/multi_gpu_log.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/device_objects.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using tavro::MultiGpuLog;
using tavro::testing::ScopedEnv;
using TempFolder = tavro::testing::TempDir;

// Every variable the log's file location depends on, unset.
ScopedEnv noLogLocation() {
    return {{"TAVRO_MGPU_LOG", nullptr}, {"LOCALAPPDATA", nullptr}, {"TEMP", nullptr},
            {"XDG_STATE_HOME", nullptr}, {"HOME", nullptr},         {"TMPDIR", nullptr}};
}

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// "2024-05-01 09:03:07.045": digits where the format puts digits, separators in place.
bool startsWithTimeStamp(const std::string& line) {
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd";
    if (line.size() < shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
    }
    return true;
}

// A line of the calling thread carrying `text`.
bool isLineOf(const std::string& line, const std::string& text) {
    return startsWithTimeStamp(line) &&
           line.substr(23) == " tid=" + std::to_string(MultiGpuLog::currentThreadId()) + " " + text;
}

TEST(MultiGpuLog, TimeStampIsLocalTimeWithThreeDigitMilliseconds) {
    std::tm local{};
    local.tm_year = 2024 - 1900;
    local.tm_mon = 4;
    local.tm_mday = 1;
    local.tm_hour = 9;
    local.tm_min = 3;
    local.tm_sec = 7;
    local.tm_isdst = -1;
    const auto when = std::chrono::system_clock::from_time_t(std::mktime(&local)) + std::chrono::milliseconds(45);

    EXPECT_EQ(MultiGpuLog::formatTimeStamp(when), "2024-05-01 09:03:07.045");
    EXPECT_EQ(MultiGpuLog::formatLine(when, 1234, "rows 0-511 on GPU 1"),
              "2024-05-01 09:03:07.045 tid=1234 rows 0-511 on GPU 1");
}

TEST(MultiGpuLog, InstalledSinkReceivesLinesWhenNoFileIsNamed) {
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        ScopedEnv env{{"TAVRO_MGPU_LOG", value}};
        std::vector<std::string> received;
        MultiGpuLog::instance().setSink([&](const std::string& line) { received.push_back(line); });
        tavro::mgpuLog("VRAM gate passed");
        MultiGpuLog::instance().setSink({});
        ASSERT_EQ(received.size(), 1u);
        EXPECT_TRUE(isLineOf(received[0], "VRAM gate passed")) << received[0];
    }
}

TEST(MultiGpuLog, NamedFileTakesTheLinesInsteadOfTheSink) {
    TempFolder folder;
    const std::string path = folder.file("mgpu.log").string();
    MultiGpuLog log;
    std::vector<std::string> received;
    log.setSink([&](const std::string& line) { received.push_back(line); });
    {
        ScopedEnv env{{"TAVRO_MGPU_LOG", path.c_str()}};
        log.write("first");
        log.write("second");
    }
    EXPECT_TRUE(received.empty());
    const auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(startsWithTimeStamp(lines[0]) && lines[0].substr(23) == " SESSION_OPEN path=" + path) << lines[0];
    EXPECT_TRUE(isLineOf(lines[1], "first")) << lines[1];
    EXPECT_TRUE(isLineOf(lines[2], "second")) << lines[2];

    // The variable is read on every line: once it is gone, the sink has them again.
    ScopedEnv unset{{"TAVRO_MGPU_LOG", nullptr}};
    log.write("third");
    EXPECT_EQ(received.size(), 1u);
    EXPECT_EQ(readLines(path).size(), 3u);
}

TEST(MultiGpuLog, WithoutSinkLinesGoToTheFile) {
    TempFolder folder;
    auto env = noLogLocation();
    ScopedEnv temp{{"TEMP", folder.path().c_str()}};
    MultiGpuLog log;

    log.write("no sink yet");

    const auto lines = readLines(folder.file("tavro_multi_gpu.log").string());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" SESSION_OPEN path=" + folder.file("tavro_multi_gpu.log").string()), std::string::npos);
    EXPECT_TRUE(isLineOf(lines[1], "no sink yet")) << lines[1];
}

TEST(MultiGpuLog, WritersOfOneFileAppendWithoutTruncating) {
    TempFolder folder;
    const std::string path = folder.file("shared.log").string();
    std::ofstream(path) << "earlier run\n";
    ScopedEnv env{{"TAVRO_MGPU_LOG", path.c_str()}};
    MultiGpuLog one, two;

    one.write("from one");
    two.write("from two");
    one.write("one again");

    const auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "earlier run");
    EXPECT_NE(lines[1].find("SESSION_OPEN"), std::string::npos);
    EXPECT_NE(lines[2].find("from one"), std::string::npos);
    EXPECT_NE(lines[3].find("SESSION_OPEN"), std::string::npos);
    EXPECT_NE(lines[4].find("from two"), std::string::npos);
    EXPECT_NE(lines[5].find("one again"), std::string::npos);
}

TEST(MultiGpuLog, FileThatCannotBeOpenedDropsLinesQuietly) {
    TempFolder folder;
    const std::string path = (folder.path() / "missing" / "folder" / "x.log").string();
    ScopedEnv env{{"TAVRO_MGPU_LOG", path.c_str()}};
    MultiGpuLog log;

    EXPECT_NO_THROW(log.write("dropped"));
    EXPECT_FALSE(fs::exists(path));
}

TEST(MultiGpuLog, ConcurrentWritersNeverInterleaveLines) {
    TempFolder folder;
    const std::string path = folder.file("threads.log").string();
    ScopedEnv env{{"TAVRO_MGPU_LOG", path.c_str()}};
    MultiGpuLog log;
    constexpr int kThreads = 6, kLines = 100;

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i)
                log.write("thread " + std::to_string(t) + " line " + std::to_string(i) + std::string(200, 'x'));
        });
    for (auto& thread : threads) thread.join();

    const auto lines = readLines(path);
    ASSERT_EQ(lines.size(), size_t(kThreads * kLines + 1));
    const std::string tail(200, 'x');
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const size_t thread = line.find(" thread ");
        ASSERT_TRUE(startsWithTimeStamp(line) && line.compare(23, 5, " tid=") == 0 && thread != std::string::npos &&
                    line.find(" line ", thread) != std::string::npos && line.size() > tail.size() &&
                    line.compare(line.size() - tail.size(), tail.size(), tail) == 0 &&
                    line.find('x') == line.size() - tail.size())
            << line;
    }
}

TEST(MultiGpuLogPath, NamedFileThenLocalAppDataThenTemp) {
    TempFolder folder;
    auto env = noLogLocation();
    {
        ScopedEnv named{{"TAVRO_MGPU_LOG", "relative/dir/my.log"}, {"LOCALAPPDATA", "/somewhere"}};
        EXPECT_EQ(MultiGpuLog::resolvePath(), "relative/dir/my.log");
    }
    {
        ScopedEnv vars{{"LOCALAPPDATA", folder.path().c_str()}, {"TEMP", "/elsewhere"}};
        const fs::path logs = folder.path() / "Quillmar" / "Tavro2D" / "logs";
        EXPECT_EQ(MultiGpuLog::resolvePath(), (logs / "multi_gpu.log").string());
        EXPECT_TRUE(fs::is_directory(logs));
    }
    ScopedEnv temp{{"TEMP", "/some/temp"}, {"XDG_STATE_HOME", "/some/state"}};
    EXPECT_EQ(MultiGpuLog::resolvePath(), "/some/temp/tavro_multi_gpu.log");
}

TEST(MultiGpuLogPath, OnLinuxTheUserStateFolderIsCreatedAndUsed) {
    TempFolder folder;
    auto env = noLogLocation();
    const fs::path suffix = fs::path("Quillmar") / "Tavro2D" / "logs" / "multi_gpu.log";
    {
        ScopedEnv vars{{"XDG_STATE_HOME", folder.file("state").string().c_str()}, {"HOME", "/nonexistent-home"}};
        EXPECT_EQ(MultiGpuLog::resolvePath(), (folder.path() / "state" / suffix).string());
        EXPECT_TRUE(fs::is_directory(folder.path() / "state" / suffix.parent_path()));
    }
    // A relative XDG_STATE_HOME is invalid by the XDG rules.
    ScopedEnv vars{{"XDG_STATE_HOME", "relative/state"}, {"HOME", folder.path().c_str()}};
    EXPECT_EQ(MultiGpuLog::resolvePath(), (folder.path() / ".local" / "state" / suffix).string());
    EXPECT_FALSE(fs::exists("relative"));
}

TEST(MultiGpuLogPath, OtherwiseTheTemporaryFolderNeverTheWorkingDirectory) {
    TempFolder folder;
    const std::string notAFolder = folder.file("plain-file").string();
    std::ofstream(notAFolder) << "x";
    auto env = noLogLocation();
    {
        ScopedEnv vars{{"XDG_STATE_HOME", notAFolder.c_str()}, {"TMPDIR", folder.path().c_str()}};
        EXPECT_EQ(MultiGpuLog::resolvePath(), folder.file("tavro_multi_gpu.log").string());
    }
    EXPECT_EQ(MultiGpuLog::resolvePath(), "/tmp/tavro_multi_gpu.log");
    ScopedEnv relativeTmp{{"TMPDIR", "tmp-here"}};
    EXPECT_EQ(MultiGpuLog::resolvePath(), "/tmp/tavro_multi_gpu.log");
}

} // namespace
