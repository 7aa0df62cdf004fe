// Crashes in the way its first argument names, with the crash reporter
// installed and the log in $XDG_DATA_HOME; started by crash_reporter_test.
// Started as the crash box program (first argument the caption) it writes its
// arguments to $TAVRO_PROBE_DIALOG_OUT instead.
#include "app/application_log.h"
#include "app/crash_reporter.h"

#include <QCoreApplication>
#include <QFile>
#include <QString>

#include <sys/resource.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>

namespace {

volatile int neverReached = -1;

__attribute__((noinline)) void crashProbeWriteNull() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

__attribute__((noinline)) int crashProbeRecurse(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth == neverReached)
        return 0;
    return crashProbeRecurse(depth + 1) + frame[0];
}

struct PureBase;
__attribute__((noinline)) void callRun(PureBase* object);

struct PureBase {
    PureBase() { callRun(this); }
    virtual ~PureBase() = default;
    virtual void run() = 0;
};

void callRun(PureBase* object) { object->run(); }

struct PureDerived : PureBase {
    void run() override {}
};

void crashTwoThreadsAtOnce() {
    std::atomic<int> ready{0};
    auto crash = [&ready] {
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        crashProbeWriteNull();
    };
    std::thread first(crash);
    std::thread second(crash);
    first.join();
    second.join();
}

int writeDialogArguments(char** argv) {
    QFile out(qEnvironmentVariable("TAVRO_PROBE_DIALOG_OUT"));
    if (!out.open(QIODevice::WriteOnly))
        return 1;
    out.write(argv[1]);
    out.write("\n--\n");
    out.write(argv[2]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "Tavro2D Crash") == 0)
        return writeDialogArguments(argv);
    if (argc < 2)
        return 2;
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);

    QCoreApplication::setApplicationName(QStringLiteral("Tavro2D"));
    QCoreApplication::setOrganizationName(QStringLiteral("Quillmar"));
    if (!qEnvironmentVariableIsEmpty("TAVRO_PROBE_DIALOG_OUT"))
        tavro::app::setCrashDialogProgram(QString::fromLocal8Bit(argv[0]));
    tavro::app::initLogging(QStringLiteral("Tavro2D"));

    const std::string scenario = argv[1];
    if (scenario == "crash-test")
        tavro::app::crashIfRequested();
    else if (scenario == "abort")
        std::abort();
    else if (scenario == "terminate-exception")
        throw std::runtime_error("probe failure");
    else if (scenario == "terminate")
        std::terminate();
    else if (scenario == "pure-virtual")
        PureDerived derived;
    else if (scenario == "overflow-main")
        return crashProbeRecurse(0);
    else if (scenario == "overflow-thread")
        std::thread([] { crashProbeRecurse(0); }).join();
    else if (scenario == "two-threads")
        crashTwoThreadsAtOnce();
    tavro::app::logApplicationExit();
    return 0;
}
