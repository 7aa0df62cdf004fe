#pragma once
// The application log: one text file per application name, appended across
// runs, holding every Qt message of every thread and the crash reports. All
// state is process-wide.

#include <QString>
#include <QtGlobal>

namespace tavro::app {

// Opens "<AppDataLocation>/logs/<appName>.log" (the current directory stands in
// for an empty location), writes the header, installs the message handler and
// the crash handlers. Set the application and organisation names first: they
// choose the folder. Returns the path, also when the file cannot be opened.
QString initLogging(const QString& appName);

// Keeps the `keep` newest of our own logs in the default log folder; the open
// log is never removed.
void cleanupOldLogs(int keep);

void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// Footer, close, previous message handler back.
void logApplicationExit();

// Local time as "yyyy-MM-dd hh:mm:ss.zzz".
QString logTimestamp();

// Continues the log in "<dir>/<appName>.log": this session's lines are copied
// there and the project's earlier content stays in front of them. The previous
// file is left as it is, except the default log, which gives up this session's
// part once the copy is safely written. On failure logging goes on where it was.
void setProjectLogFile(const QString& dir);

QString currentLogFilePath();

namespace detail {

// Lock-free view of the log for the crash handlers, which must not touch Qt.
int rawLogFileDescriptor();  // -1 when no log is open
const char* rawLogFilePath();  // never null
const char* rawLogAppName();   // never null

// Takes the log mutex, waiting at most `milliseconds`, and keeps it for good: the
// caller is about to end the process. False when the calling thread already
// holds it or another thread keeps it that long; the caller then writes anyway.
bool lockLogForCrash(int milliseconds);

}  // namespace detail

}  // namespace tavro::app
