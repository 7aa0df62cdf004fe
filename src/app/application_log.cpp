#include "app/application_log.h"

#include "app/crash_reporter.h"
#include "platform/regular_file.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>
#include <QTextStream>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace tavro::app {

namespace {

// A mutex that knows its owner, so that a thread never waits for itself: the
// message handler re-entered through a Qt warning of its own, or a crash
// handler running on the thread that was writing a line.
class LogMutex {
public:
    void lock() {
        mutex_.lock();
        owner_.store(gettid(), std::memory_order_relaxed);
    }
    void unlock() {
        owner_.store(0, std::memory_order_relaxed);
        mutex_.unlock();
    }
    bool heldByCaller() const { return owner_.load(std::memory_order_relaxed) == gettid(); }
    bool tryLockFor(int milliseconds) {
        if (heldByCaller())
            return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (!mutex_.try_lock()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        owner_.store(gettid(), std::memory_order_relaxed);
        return true;
    }

private:
    std::mutex mutex_;
    std::atomic<pid_t> owner_{0};
};

const QString kRule = QString(80, QLatin1Char('=')) + QLatin1Char('\n');

QString logAppName;
QString logFilePath;
std::unique_ptr<QFile> logFile;
std::unique_ptr<QTextStream> logStream;
LogMutex logMutex;
QtMessageHandler previousMessageHandler = nullptr;
// Where this session's part of the open file begins, and whether that file is
// the default log rather than a project's.
qint64 sessionStart = 0;
bool logIsDefault = true;

// Published under logMutex, read by the crash handlers without it: the path is
// written into the idle buffer and then made current.
std::atomic<int> rawFd{-1};
char rawPaths[2][4096] = {{0}, {0}};
std::atomic<int> rawPathIndex{0};
char rawAppName[256] = {0};

void copyTruncated(char* destination, std::size_t capacity, const QString& text) {
    const QByteArray bytes = QFile::encodeName(text);
    const std::size_t size = std::min<std::size_t>(static_cast<std::size_t>(bytes.size()), capacity - 1);
    std::memcpy(destination, bytes.constData(), size);
    destination[size] = '\0';
}

void publishRawState() {
    rawFd.store(logFile ? logFile->handle() : -1);
    const int idle = 1 - rawPathIndex.load();
    copyTruncated(rawPaths[idle], sizeof rawPaths[idle], logFilePath);
    rawPathIndex.store(idle);
    copyTruncated(rawAppName, sizeof rawAppName, logAppName);
}

const QStringList& suppressedMarkers() {
    static const QStringList markers{QStringLiteral("[RefineLocal]"), QStringLiteral("[BFS Refine]"),
                                     QStringLiteral("[PolynomialProjector]")};
    return markers;
}

QString levelName(QtMsgType type) {
    switch (type) {
    case QtDebugMsg: return QStringLiteral("DEBUG");
    case QtWarningMsg: return QStringLiteral("WARNING");
    case QtCriticalMsg: return QStringLiteral("CRITICAL");
    case QtFatalMsg: return QStringLiteral("FATAL");
    case QtInfoMsg: return QStringLiteral("INFO");
    }
    return QStringLiteral("UNKNOWN");
}

QString defaultLogFolder(bool fallBackToCurrentDirectory) {
    QString base = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (base.isEmpty()) {
        if (!fallBackToCurrentDirectory)
            return QString();
        base = QDir::currentPath();
    }
    return QDir(base).filePath(QStringLiteral("logs"));
}

// A project folder may be shared: a link or a FIFO planted under the log's name
// must neither redirect the log into another file nor block the program.
bool openForAppending(QFile& file) {
    std::string reason;
    platform::FileDescriptor fd =
        platform::openRegularFileForAppending(QFile::encodeName(file.fileName()).toStdString(), 0666, reason);
    // Unbuffered: a flushed line is in the kernel, where the crash handlers'
    // raw writes to the same descriptor land after it.
    if (!fd || !file.open(fd.get(), QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered,
                          QFileDevice::AutoCloseHandle))
        return false;
    fd.release();
    return true;
}

bool sameFile(const QString& a, const QString& b) {
    const QString canonicalA = QFileInfo(a).canonicalFilePath();
    const QString canonicalB = QFileInfo(b).canonicalFilePath();
    if (!canonicalA.isEmpty() && !canonicalB.isEmpty())
        return canonicalA == canonicalB;
    return QDir::cleanPath(QFileInfo(a).absoluteFilePath()) == QDir::cleanPath(QFileInfo(b).absoluteFilePath());
}

// Read through our own descriptor: the name may since have been taken by something else.
QByteArray readSessionPart() {
    if (!logFile)
        return QByteArray();
    QByteArray part;
    char buffer[65536];
    for (off_t offset = sessionStart;;) {
        const ssize_t got = pread(logFile->handle(), buffer, sizeof buffer, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return part;
        part.append(buffer, got);
        offset += got;
    }
}

void warnCannotMove(const QString& path) {
    std::cerr << "Warning: Could not create log file in project directory: " << path.toStdString() << std::endl;
}

// The default log keeps earlier sessions; only this session's part, now copied,
// leaves it, cut through the descriptor that wrote it. A file that held
// nothing else goes.
void releaseDefaultLog(QFile& file, const QString& path, qint64 start) {
    if (start <= 0)
        QFile::remove(path);
    else
        file.resize(start);
}

}  // namespace

QString logTimestamp() {
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
}

QString currentLogFilePath() {
    std::lock_guard lock(logMutex);
    return logFilePath;
}

QString initLogging(const QString& appName) {
    {
        std::lock_guard lock(logMutex);
        logAppName = appName;
        const QString folder = defaultLogFolder(true);
        QDir().mkpath(folder);
        logFilePath = QDir(folder).filePath(appName + QStringLiteral(".log"));
        logIsDefault = true;

        logStream.reset();
        logFile = std::make_unique<QFile>(logFilePath);
        if (openForAppending(*logFile)) {
            sessionStart = logFile->size();
            logStream = std::make_unique<QTextStream>(logFile.get());
            QTextStream& out = *logStream;
            out << kRule << QString(30, QLatin1Char(' ')) << appName << " Log\n" << kRule;
            out << "Started: " << QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) << '\n';
            out << "Log file: " << logFilePath << '\n';
            out << "Platform: Linux\n";
            out << kRule << '\n';
            out.flush();
        } else {
            logFile.reset();
            sessionStart = 0;
            std::cerr << "Warning: Could not create log file: " << logFilePath.toStdString() << std::endl;
        }
        publishRawState();
    }

    QtMessageHandler replaced = qInstallMessageHandler(logMessageHandler);
    if (replaced != logMessageHandler)
        previousMessageHandler = replaced;
    installCrashHandlers();

    qDebug() << "Crash handler initialized";
    const QString path = currentLogFilePath();
    qDebug() << "Log file:" << path;
    return path;
}

void cleanupOldLogs(int keep) {
    QString currentPath;
    QString appName;
    {
        std::lock_guard lock(logMutex);
        currentPath = logFilePath;
        appName = logAppName;
    }
    const QString folder = defaultLogFolder(false);
    if (appName.isEmpty() || folder.isEmpty() || !QDir(folder).exists())
        return;
    const QDir dir(folder);
    const QStringList entries =
        dir.entryList(QStringList{appName + QStringLiteral("*.log")}, QDir::Files, QDir::Time);
    for (qsizetype i = std::max(keep, 0); i < entries.size(); ++i) {
        const QString path = dir.filePath(entries[i]);
        if (sameFile(path, currentPath))
            continue;
        QFile::remove(path);
        qDebug() << "Removed old log file:" << path;
    }
}

void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (logMutex.heldByCaller()) {
        // A message raised while this thread writes the log cannot go into it.
        std::cerr << '[' << levelName(type).toStdString() << "] " << message.toStdString() << std::endl;
        return;
    }
    bool suppressed = false;
    for (const QString& marker : suppressedMarkers())
        suppressed = suppressed || message.contains(marker);

    std::lock_guard lock(logMutex);
    if (logStream && !suppressed) {
        *logStream << QStringLiteral("[%1] [%2] %3").arg(logTimestamp()).arg(levelName(type)).arg(message) << '\n';
        logStream->flush();
    }
    if (previousMessageHandler)
        previousMessageHandler(type, context, message);
    else
        std::cerr << '[' << levelName(type).toStdString() << "] " << message.toStdString() << std::endl;
}

void logApplicationExit() {
    std::lock_guard lock(logMutex);
    if (logStream) {
        *logStream << '\n' << kRule << "Application terminated normally at "
                   << QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) << '\n'
                   << kRule;
        logStream->flush();
        logStream.reset();
    }
    if (logFile) {
        logFile->close();
        logFile.reset();
    }
    publishRawState();
    if (previousMessageHandler) {
        qInstallMessageHandler(previousMessageHandler);
        previousMessageHandler = nullptr;
    }
}

void setProjectLogFile(const QString& dir) {
    if (dir.isEmpty())
        return;
    std::lock_guard lock(logMutex);
    const QString newPath = QDir(dir).filePath(logAppName + QStringLiteral(".log"));
    if (logFile && sameFile(newPath, logFilePath))
        return;

    if (logStream)
        logStream->flush();
    auto newFile = std::make_unique<QFile>(newPath);
    if (!openForAppending(*newFile)) {
        warnCannotMove(newPath);
        return;
    }
    const qint64 newStart = newFile->size();
    const QByteArray session = readSessionPart();
    const QByteArray moveLine = (QStringLiteral("[%1] [INFO] Log file moved to project directory: %2\n")
                                     .arg(logTimestamp(), dir))
                                    .toUtf8();
    const bool written = newFile->write(session) == session.size() &&
                         newFile->write(moveLine) == moveLine.size() && newFile->flush();
    if (!written) {
        newFile->resize(newStart);
        warnCannotMove(newPath);
        return;
    }

    const QString oldPath = logFilePath;
    const qint64 oldStart = sessionStart;
    const bool oldWasDefault = logIsDefault && logFile;
    logStream.reset();
    std::unique_ptr<QFile> oldFile = std::exchange(logFile, std::move(newFile));
    logStream = std::make_unique<QTextStream>(logFile.get());
    logFilePath = newPath;
    sessionStart = newStart;
    logIsDefault = false;
    publishRawState();
    if (oldWasDefault)
        releaseDefaultLog(*oldFile, oldPath, oldStart);
}

namespace detail {

int rawLogFileDescriptor() { return rawFd.load(); }

const char* rawLogFilePath() { return rawPaths[rawPathIndex.load()]; }

const char* rawLogAppName() { return rawAppName; }

bool lockLogForCrash(int milliseconds) { return logMutex.tryLockFor(milliseconds); }

}  // namespace detail

}  // namespace tavro::app
