#include "support/temp_dir.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QString>

#include <gtest/gtest.h>

#include <csignal>
#include <vector>

namespace {

struct ProbeRun {
    bool crashed = false;
    int signal = 0;
    QString log;
    QString standardError;
    QString dialog;  // empty when no box was shown
    QString dumpPath;
    QString dump;
};

QString readAll(const QString& path) {
    if (path.isEmpty())
        return {};
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Runs the probe with its log in a fresh folder, without a display unless asked.
ProbeRun runProbe(const char* scenario, bool withDisplay = false, bool crashTest = false) {
    tavro::testing::TempDir home("tavro_crash");
    const QString homePath = QString::fromStdString(home.path().string());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), homePath);
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("TAVRO_CRASH_TEST"));
    if (withDisplay)
        environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":tavro-test"));
    else
        environment.remove(QStringLiteral("DISPLAY"));
    if (crashTest)
        environment.insert(QStringLiteral("TAVRO_CRASH_TEST"), QStringLiteral("1"));
    const QString dialogOut = homePath + QStringLiteral("/dialog.txt");
    environment.insert(QStringLiteral("TAVRO_PROBE_DIALOG_OUT"), dialogOut);

    QProcess probe;
    probe.setProcessEnvironment(environment);
    probe.start(QStringLiteral(TAVRO_CRASH_PROBE), {QString::fromLatin1(scenario)});
    EXPECT_TRUE(probe.waitForFinished(20000)) << scenario;

    ProbeRun run;
    run.crashed = probe.exitStatus() == QProcess::CrashExit;
    run.signal = run.crashed ? probe.exitCode() : 0;
    run.standardError = QString::fromUtf8(probe.readAllStandardError());
    const QString logs = homePath + QStringLiteral("/Quillmar/Tavro2D/logs/");
    run.log = readAll(logs + QStringLiteral("Tavro2D.log"));
    run.dialog = readAll(dialogOut);
    const QStringList dumps = QDir(logs).entryList({QStringLiteral("Tavro2D_*.dmp")}, QDir::Files);
    if (!dumps.isEmpty())
        run.dumpPath = logs + dumps.front();
    run.dump = readAll(run.dumpPath);
    return run;
}

int occurrences(const QString& text, const QString& part) { return static_cast<int>(text.count(part)); }

TEST(CrashReporter, NullWriteOfTheCrashTestIsReportedWithSymbolsDumpAndNoBoxWithoutDisplay) {
    const ProbeRun run = runProbe("crash-test", false, true);
    EXPECT_TRUE(run.crashed);
    EXPECT_EQ(run.signal, SIGSEGV);
    const qsizetype testLine = run.log.indexOf(
        QStringLiteral("[DEBUG] TAVRO_CRASH_TEST=1 : plantage volontaire pour eprouver le rapport"));
    const qsizetype block = run.log.indexOf(QStringLiteral("APPLICATION CRASH DETECTED"));
    ASSERT_GE(testLine, 0) << run.log.toStdString();
    EXPECT_GT(block, testLine);
    EXPECT_EQ(occurrences(run.log, QStringLiteral("APPLICATION CRASH DETECTED")), 1);
    EXPECT_TRUE(run.log.contains(QStringLiteral("] Exception: SIGSEGV (Segmentation fault)\n")));
    EXPECT_TRUE(run.log.contains(QStringLiteral("Signal code: SEGV_MAPERR (address not mapped to object)\n")));
    EXPECT_TRUE(run.log.contains(QStringLiteral("Fault address: 0x0\n")));
    EXPECT_TRUE(run.log.contains(QStringLiteral("Faulting module: tavro_crash_probe  (+0x")));
    // Frame 0 is the faulting function, named, with its module. Source lines
    // need debugging information, which the release build does not carry.
    EXPECT_TRUE(run.log.contains(QRegularExpression(QStringLiteral(
        "\n# 0  tavro::app::crashIfRequested\\(\\)( at | \\+ 0x)[^\n]*  \\[tavro_crash_probe\\+0x[0-9a-f]+\\]\n"))))
        << run.log.toStdString();
    EXPECT_TRUE(run.log.contains(QRegularExpression(QStringLiteral("\n# 1  main( at | \\+ 0x)"))));
    ASSERT_FALSE(run.dumpPath.isEmpty());
    EXPECT_TRUE(run.log.contains(QStringLiteral("Minidump: ") + run.dumpPath + QStringLiteral("\nLog file: ")));
    EXPECT_TRUE(run.log.trimmed().endsWith(QString(80, QLatin1Char('='))));
    const QString& dump = run.dump;
    for (const char* section : {"Signal: 11 SIGSEGV", "Registers:\n", "rip 0x", "Memory map:\n", "Stack from 0x"})
        EXPECT_TRUE(dump.contains(QLatin1String(section))) << section;
    EXPECT_TRUE(run.standardError.contains(
        QStringLiteral("*** APPLICATION CRASHED ***\nException: SIGSEGV (Segmentation fault)\nLog file: ")));
    EXPECT_TRUE(run.dialog.isEmpty());
}

TEST(CrashReporter, CrashBoxIsShownByAChildWhenADisplayIsSet) {
    const ProbeRun run = runProbe("crash-test", true, true);
    EXPECT_EQ(run.signal, SIGSEGV);
    EXPECT_TRUE(run.dialog.startsWith(QStringLiteral(
        "Tavro2D Crash\n--\nApplication crashed!\n\nException: SIGSEGV (Segmentation fault)\n\nLog file:\n")))
        << run.dialog.toStdString();
    EXPECT_TRUE(run.dialog.contains(QStringLiteral("\n\nCrash dump:\n") + run.dumpPath));
    EXPECT_TRUE(run.dialog.contains(QStringLiteral("\n\nPlease send both files to ")));
}

TEST(CrashReporter, AbortAndTerminateEachWriteOneBlockOfTheirOwn) {
    struct Row {
        const char* scenario;
        std::vector<const char*> present, absent;
        const char* standardError = "";
    };
    const Row rows[] = {
        {"abort", {"] Exception: SIGABRT (Aborted)\n"}, {}},
        {"terminate-exception",
         {"                         std::terminate() CALLED\n",
          "] Uncaught C++ exception or explicit std::terminate()\nException: probe failure\nLog file: "},
         {"APPLICATION CRASH DETECTED"},
         "\n*** std::terminate() called ***\nLog file: "},
        {"terminate", {"explicit std::terminate()\nLog file: "}, {"Exception: "}},
        {"pure-virtual",
         {"                      PURE VIRTUAL FUNCTION CALL\n", "] Pure virtual function called\nLog file: "},
         {"APPLICATION CRASH DETECTED", "std::terminate() CALLED"}},
    };
    for (const Row& row : rows) {
        const ProbeRun run = runProbe(row.scenario);
        EXPECT_EQ(run.signal, SIGABRT) << row.scenario;
        EXPECT_LE(occurrences(run.log, QStringLiteral("APPLICATION CRASH DETECTED")), 1) << row.scenario;
        for (const char* text : row.present)
            EXPECT_TRUE(run.log.contains(QString::fromUtf8(text))) << row.scenario << ": " << text;
        for (const char* text : row.absent)
            EXPECT_FALSE(run.log.contains(QString::fromUtf8(text))) << row.scenario << ": " << text;
        EXPECT_TRUE(run.standardError.contains(QString::fromUtf8(row.standardError))) << row.scenario;
    }
}

TEST(CrashReporter, StackOverflowIsReportedOnTheMainAndOnAnotherThreadWithTheTraceCutAtFrame100) {
    for (const char* scenario : {"overflow-main", "overflow-thread"}) {
        const ProbeRun run = runProbe(scenario);
        EXPECT_EQ(run.signal, SIGSEGV) << scenario;
        EXPECT_TRUE(run.log.contains(QStringLiteral("] Exception: SIGSEGV (Stack overflow)\n"))) << scenario;
        EXPECT_TRUE(run.log.contains(QRegularExpression(QStringLiteral("\n#100  [^\n]*crashProbeRecurse"))))
            << scenario;
        EXPECT_FALSE(run.log.contains(QStringLiteral("\n#101 "))) << scenario;
    }
}

TEST(CrashReporter, TwoThreadsCrashingTogetherGiveOneReport) {
    const ProbeRun run = runProbe("two-threads");
    EXPECT_EQ(run.signal, SIGSEGV);
    EXPECT_EQ(occurrences(run.log, QStringLiteral("APPLICATION CRASH DETECTED")), 1);
    EXPECT_EQ(occurrences(run.log, QStringLiteral("Stack trace:")), 1);
    EXPECT_EQ(occurrences(run.standardError, QStringLiteral("*** APPLICATION CRASHED ***")), 1);
}

}  // namespace
