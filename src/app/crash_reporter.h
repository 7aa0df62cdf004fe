#pragma once
// Reports a fatal condition into the application log and on standard error
// before the process ends: fatal signals (with a stack trace, a dump file beside
// the log and an error box), std::terminate and pure virtual calls. The handlers
// write with write(2) only: the crashing process may hold any lock, Qt's among
// them.

#include <QString>

#include <cstddef>

namespace tavro::app {

// Fatal signals on an alternate stack, std::terminate; called by initLogging.
// Every thread started afterwards gets an alternate stack of its own, so that a
// stack overflow is reported like any other crash.
void installCrashHandlers();

// The program that shows the crash box, started as `program caption text`;
// by default "tavro_crash_dialog" beside the executable. Empty: no box. The box
// is skipped anyway when neither DISPLAY nor WAYLAND_DISPLAY is set.
void setCrashDialogProgram(const QString& program);

// TAVRO_CRASH_TEST starting with "1": logs why, then writes through a null pointer.
void crashIfRequested();

// "SIGSEGV (Segmentation fault)", ...; "Unknown signal" for others.
const char* crashSignalName(int signal);
// "SEGV_MAPERR (address not mapped to object)", ...; "unknown code" for others.
const char* crashSignalCodeName(int signal, int code);

namespace detail {

// Creates "<stem>.dmp", or "<stem>_2.dmp", "<stem>_3.dmp", ... when the name is
// taken, and returns the descriptor (-1 on failure, errno set); `path`
// receives the name. What is already there, a planted link included, is never
// opened, followed or truncated. Safe in a signal handler.
int createDumpFile(const char* stem, char* path, std::size_t capacity);

}  // namespace detail

[[noreturn]] void onTerminate();
[[noreturn]] void onPureVirtualCall();

}  // namespace tavro::app
