#include "app/application_log.h"

#include "support/temp_dir.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

using tavro::app::currentLogFilePath;
using tavro::app::initLogging;
using tavro::app::logApplicationExit;
using tavro::app::setProjectLogFile;

QString readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QStringList forwarded;
void capturePrevious(QtMsgType, const QMessageLogContext&, const QString& message) { forwarded << message; }

// Each test logs into a data folder of its own, under application names that
// are not the program's.
class ApplicationLog : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(home_.path().string()));
        QCoreApplication::setOrganizationName(QStringLiteral("QuillmarTest"));
        QCoreApplication::setApplicationName(QStringLiteral("TavroTest"));
        forwarded.clear();
        qInstallMessageHandler(capturePrevious);
    }
    void TearDown() override {
        logApplicationExit();
        qInstallMessageHandler(nullptr);
    }
    QString folder(const char* name) const {
        const QString path = QString::fromStdString((home_.path() / name).string());
        QDir().mkpath(path);
        return path;
    }
    QString logFolder() const {
        return QString::fromStdString(home_.path().string()) + QStringLiteral("/QuillmarTest/TavroTest/logs");
    }

    tavro::testing::TempDir home_{"tavro_log"};
};

TEST_F(ApplicationLog, WritesHeaderLevelledLinesAndFooterAndForwardsEverything) {
    const QString path = initLogging(QStringLiteral("TavroTest"));
    EXPECT_EQ(path, logFolder() + QStringLiteral("/TavroTest.log"));
    qDebug("debug %d", 1);
    qInfo("info");
    qWarning("warning");
    qCritical("critical");
    qDebug("noise [BFS Refine] iteration");
    tavro::app::logMessageHandler(static_cast<QtMsgType>(42), QMessageLogContext(), QStringLiteral("odd"));
    logApplicationExit();
    initLogging(QStringLiteral("TavroTest"));
    logApplicationExit();

    const QString log = readAll(path);
    const QString rule = QString(80, QLatin1Char('='));
    EXPECT_TRUE(log.startsWith(rule + QStringLiteral("\n                              TavroTest Log\n") + rule +
                               QStringLiteral("\nStarted: ")));
    EXPECT_TRUE(log.contains(QStringLiteral("\nLog file: ") + path + QStringLiteral("\nPlatform: Linux\n") + rule +
                             QStringLiteral("\n\n")));
    EXPECT_TRUE(log.contains(QStringLiteral("] [DEBUG] Log file: \"") + path + QStringLiteral("\"\n")));
    const QString stamp = QStringLiteral(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )");
    for (const char* line : {"[DEBUG] Crash handler initialized", "[DEBUG] debug 1", "[INFO] info",
                             "[WARNING] warning", "[CRITICAL] critical", "[UNKNOWN] odd"})
        EXPECT_TRUE(log.contains(QRegularExpression(QStringLiteral("\n") + stamp +
                                                    QRegularExpression::escape(QLatin1String(line)) +
                                                    QStringLiteral("\n"))))
            << line;
    EXPECT_FALSE(log.contains(QStringLiteral("BFS Refine")));
    EXPECT_TRUE(forwarded.contains(QStringLiteral("noise [BFS Refine] iteration")));
    EXPECT_TRUE(forwarded.contains(QStringLiteral("odd")));
    // The second run appends after the first run's footer.
    const qsizetype footer = log.indexOf(QStringLiteral("\n\n") + rule + QStringLiteral("\nApplication terminated normally at "));
    ASSERT_GT(footer, 0);
    EXPECT_GT(log.indexOf(QStringLiteral("TavroTest Log"), footer), footer);
    EXPECT_TRUE(log.endsWith(rule + QStringLiteral("\n")));
    EXPECT_EQ(log.count(QStringLiteral("Application terminated normally at ")), 2);
}

TEST_F(ApplicationLog, MovingIntoAProjectCopiesOnlyThisSessionAndLeavesOtherLogsWhole) {
    QDir().mkpath(logFolder());
    writeFile(logFolder() + QStringLiteral("/TavroTest.log"), "earlier session\n");
    const QString projectA = folder("projectA");
    const QString projectB = folder("projectB");
    writeFile(projectA + QStringLiteral("/TavroTest.log"), "A history\n");

    const QString defaultLog = initLogging(QStringLiteral("TavroTest"));
    qDebug("before any project");
    setProjectLogFile(projectA);
    qDebug("in A");
    setProjectLogFile(projectA + QStringLiteral("/./"));
    setProjectLogFile(projectB);
    qDebug("in B");

    EXPECT_EQ(readAll(defaultLog), QStringLiteral("earlier session\n"));
    const QString a = readAll(projectA + QStringLiteral("/TavroTest.log"));
    EXPECT_TRUE(a.startsWith(QStringLiteral("A history\n")));
    EXPECT_LT(a.indexOf(QStringLiteral("before any project")), a.indexOf(QStringLiteral("moved to project")));
    EXPECT_TRUE(a.contains(QStringLiteral("] [INFO] Log file moved to project directory: ") + projectA + QStringLiteral("\n")));
    EXPECT_EQ(a.count(QStringLiteral("moved to project directory")), 1);
    EXPECT_TRUE(a.contains(QStringLiteral("in A")));
    EXPECT_FALSE(a.contains(QStringLiteral("in B")));

    const QString b = readAll(projectB + QStringLiteral("/TavroTest.log"));
    EXPECT_FALSE(b.contains(QStringLiteral("A history")));
    EXPECT_FALSE(b.contains(QStringLiteral("earlier session")));
    EXPECT_TRUE(b.contains(QStringLiteral("before any project")));
    EXPECT_LT(b.indexOf(QStringLiteral("in A")), b.indexOf(QStringLiteral("directory: ") + projectB));
    EXPECT_TRUE(b.contains(QStringLiteral("in B")));
    EXPECT_EQ(currentLogFilePath(), projectB + QStringLiteral("/TavroTest.log"));
}

TEST_F(ApplicationLog, AFreshDefaultLogGoesWhollyIntoTheFirstProject) {
    const QString defaultLog = initLogging(QStringLiteral("TavroTest"));
    const QString project = folder("fresh");
    setProjectLogFile(project);
    EXPECT_FALSE(QFile::exists(defaultLog));
    EXPECT_TRUE(readAll(project + QStringLiteral("/TavroTest.log")).contains(QStringLiteral("TavroTest Log")));
}

// A link planted under the log's name must not carry the log into its target,
// and a FIFO must not block the program.
TEST_F(ApplicationLog, AFolderThatCannotHoldTheLogLeavesLoggingWhereItWas) {
    const QString defaultLog = initLogging(QStringLiteral("TavroTest"));
    const QString blocker = folder("blocked") + QStringLiteral("/plain_file");
    writeFile(blocker, "not a folder");
    const QString victim = folder("planted") + QStringLiteral("/victim.txt");
    writeFile(victim, "keep me");
    ASSERT_TRUE(QFile::link(victim, folder("planted") + QStringLiteral("/TavroTest.log")));
    ASSERT_EQ(mkfifo(QFile::encodeName(folder("fifo") + QStringLiteral("/TavroTest.log")).constData(), 0600), 0);
    for (const QString& dir : {blocker + QStringLiteral("/sub"), folder("missing") + QStringLiteral("/x/y"),
                               folder("planted"), folder("fifo")})
        setProjectLogFile(dir);
    qDebug("still logging");
    EXPECT_EQ(currentLogFilePath(), defaultLog);
    EXPECT_TRUE(readAll(defaultLog).contains(QStringLiteral("still logging")));
    EXPECT_EQ(readAll(victim), QStringLiteral("keep me"));
}

TEST_F(ApplicationLog, AFifoOrLinkAsTheDefaultLogIsNotOpened) {
    QDir().mkpath(logFolder());
    const QString victim = folder("elsewhere") + QStringLiteral("/victim.txt");
    writeFile(victim, "keep me");
    ASSERT_TRUE(QFile::link(victim, logFolder() + QStringLiteral("/TavroTest.log")));
    ASSERT_EQ(mkfifo(QFile::encodeName(logFolder() + QStringLiteral("/Other.log")).constData(), 0600), 0);
    initLogging(QStringLiteral("TavroTest"));
    qDebug("not into the link");
    initLogging(QStringLiteral("Other"));
    EXPECT_EQ(readAll(victim), QStringLiteral("keep me"));
    EXPECT_TRUE(forwarded.contains(QStringLiteral("not into the link")));
}

TEST_F(ApplicationLog, PruningKeepsTheNewestOfOurOwnLogsAndNeverTheOpenOne) {
    QDir().mkpath(logFolder());
    const auto now = std::filesystem::file_time_type::clock::now();
    for (int i = 0; i < 12; ++i) {
        const QString path = logFolder() + QStringLiteral("/TavroTest_%1.log").arg(i);
        writeFile(path, "old");
        std::filesystem::last_write_time(path.toStdString(), now - std::chrono::hours(100 - i));
    }
    writeFile(logFolder() + QStringLiteral("/OtherProgram.log"), "foreign");
    std::filesystem::last_write_time((logFolder() + QStringLiteral("/OtherProgram.log")).toStdString(),
                                     now - std::chrono::hours(1000));
    const QString current = initLogging(QStringLiteral("TavroTest"));
    // The open log is made the oldest of all: it must survive anyway.
    std::filesystem::last_write_time(current.toStdString(), now - std::chrono::hours(2000));

    tavro::app::cleanupOldLogs(10);
    EXPECT_TRUE(QFile::exists(current));
    EXPECT_TRUE(QFile::exists(logFolder() + QStringLiteral("/OtherProgram.log")));
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(QFile::exists(logFolder() + QStringLiteral("/TavroTest_%1.log").arg(i)), i >= 2) << i;
    const QString log = readAll(current);
    EXPECT_EQ(log.count(QStringLiteral("[DEBUG] Removed old log file: \"")), 2);
}

TEST_F(ApplicationLog, EightThreadsLoggingAtOnceLeaveEveryLineWhole) {
    const QString path = initLogging(QStringLiteral("TavroTest"));
    constexpr int kThreads = 8;
    constexpr int kLines = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                qDebug("thread %d line %d %s", t, i, "payload-payload-payload-payload");
        });
    for (std::thread& thread : threads)
        thread.join();
    const QRegularExpression line(QStringLiteral(
        R"(^\[[-\d :.]{23}\] \[DEBUG\] thread (\d) line (\d+) payload-payload-payload-payload$)"));
    int whole = 0;
    for (const QString& text : readAll(path).split(QLatin1Char('\n')))
        whole += line.match(text).hasMatch() ? 1 : 0;
    EXPECT_EQ(whole, kThreads * kLines);
}

}  // namespace
