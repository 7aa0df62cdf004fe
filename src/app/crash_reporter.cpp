#include "app/crash_reporter.h"

#include "app/application_log.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>

#include <cxxabi.h>
#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <string>

extern char** environ;

namespace tavro::app {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kMaxFrames = 101;
constexpr int kSymbolizerSeconds = 10;
constexpr int kStackDumpBytes = 16 * 1024;
constexpr const char* kContactAddress = TAVRO_CONTACT_ADDRESS;

bool writeAll(int fd, const char* data, std::size_t size) {
    if (fd < 0)
        return false;
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Text built without allocating, for code that runs in a signal handler or with
// the heap in an unknown state; what does not fit is cut.
template <std::size_t Capacity>
class RawText {
public:
    RawText& add(const char* text) {
        while (text && *text && size_ < Capacity)
            data_[size_++] = *text++;
        return *this;
    }
    RawText& add(char c) {
        if (size_ < Capacity)
            data_[size_++] = c;
        return *this;
    }
    RawText& repeat(char c, int count) {
        for (int i = 0; i < count; ++i)
            add(c);
        return *this;
    }
    RawText& hex(uint64_t value, bool upper = false) {
        const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        char reversed[16];
        int n = 0;
        do {
            reversed[n++] = digits[value & 0xF];
            value >>= 4;
        } while (value != 0);
        while (n > 0)
            add(reversed[--n]);
        return *this;
    }
    // Right-aligned in `width` characters, padded with `fill`.
    RawText& dec(int64_t value, int width = 0, char fill = ' ') {
        char reversed[24];
        int n = 0;
        const bool negative = value < 0;
        uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        do {
            reversed[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (negative)
            reversed[n++] = '-';
        repeat(fill, width - n);
        while (n > 0)
            add(reversed[--n]);
        return *this;
    }
    RawText& rule() { return repeat('=', 80).add('\n'); }
    bool writeTo(int fd) const { return writeAll(fd, data_, size_); }
    // Zero-terminated; the last character gives way when the text is full.
    const char* c_str() {
        data_[size_ < Capacity ? size_ : Capacity - 1] = '\0';
        return data_;
    }
    void clear() { size_ = 0; }

private:
    char data_[Capacity + 1];
    std::size_t size_ = 0;
};

// Local time without localtime_r, which may take a lock: the offset from UTC is
// taken when the handlers are installed.
std::atomic<long> utcOffsetSeconds{0};

struct CivilTime {
    int64_t year;
    int month, day, hour, minute, second, millisecond;
};

CivilTime localTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const int64_t seconds = static_cast<int64_t>(now.tv_sec) + utcOffsetSeconds.load();
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const int64_t secondOfDay = seconds - days * 86400;
    // Days since 1970-01-01 to a proleptic Gregorian date.
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    CivilTime t{};
    t.day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    t.month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    t.year = yearOfEra + era * 400 + (t.month <= 2 ? 1 : 0);
    t.hour = static_cast<int>(secondOfDay / 3600);
    t.minute = static_cast<int>(secondOfDay / 60 % 60);
    t.second = static_cast<int>(secondOfDay % 60);
    t.millisecond = static_cast<int>(now.tv_nsec / 1000000);
    return t;
}

template <std::size_t N>
void addTimestamp(RawText<N>& out, const CivilTime& t) {
    out.dec(t.year, 4, '0').add('-').dec(t.month, 2, '0').add('-').dec(t.day, 2, '0').add(' ');
    out.dec(t.hour, 2, '0').add(':').dec(t.minute, 2, '0').add(':').dec(t.second, 2, '0').add('.');
    out.dec(t.millisecond, 3, '0');
}

// Empty line, rule, indented title, rule, "[time] "; the event text follows.
template <std::size_t N>
RawText<N>& addBlockHead(RawText<N>& out, int spaces, const char* title) {
    out.add('\n').rule().repeat(' ', spaces).add(title).add('\n').rule();
    out.add('[');
    addTimestamp(out, localTimeNow());
    return out.add("] ");
}

const char* baseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

char executablePath[4096] = {0};
char dialogProgram[4096] = {0};
std::atomic<bool> dialogProgramChosen{false};
std::atomic<bool> displayAvailable{false};

void copyPath(char* destination, std::size_t capacity, const QByteArray& path) {
    const std::size_t size = std::min<std::size_t>(static_cast<std::size_t>(path.size()), capacity - 1);
    std::memcpy(destination, path.constData(), size);
    destination[size] = '\0';
}

// The main program's module name is the name it was started by, possibly
// relative; /proc/self/exe gives the real path.
const char* modulePath(const Dl_info& info) {
    return info.dli_fname && info.dli_fname[0] == '/' ? info.dli_fname : executablePath;
}

[[noreturn]] void abortWithoutReport() {
    ::signal(SIGABRT, SIG_DFL);
    std::abort();
}

// Alternate signal stacks --------------------------------------------------

class AlternateSignalStack {
public:
    AlternateSignalStack() {
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE))
            return;  // one installed by someone else (a sanitizer) stays
        const long pageSize = sysconf(_SC_PAGESIZE);
        page_ = static_cast<std::size_t>(pageSize > 0 ? pageSize : 4096);
        const long minimum = sysconf(_SC_SIGSTKSZ);
        size_ = std::max<std::size_t>(64 * 1024, minimum > 0 ? 4 * static_cast<std::size_t>(minimum) : 0);
        void* memory = mmap(nullptr, size_ + page_, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (memory == MAP_FAILED)
            return;
        mprotect(memory, page_, PROT_NONE);
        stack_t stack{};
        stack.ss_sp = static_cast<char*>(memory) + page_;
        stack.ss_size = size_;
        if (sigaltstack(&stack, nullptr) != 0) {
            munmap(memory, size_ + page_);
            return;
        }
        memory_ = memory;
    }
    ~AlternateSignalStack() {
        if (!memory_)
            return;
        stack_t disable{};
        disable.ss_flags = SS_DISABLE;
        sigaltstack(&disable, nullptr);
        munmap(memory_, size_ + page_);
    }
    AlternateSignalStack(const AlternateSignalStack&) = delete;
    AlternateSignalStack& operator=(const AlternateSignalStack&) = delete;

private:
    void* memory_ = nullptr;
    std::size_t size_ = 0;
    std::size_t page_ = 0;
};

struct ThreadStart {
    void* (*routine)(void*);
    void* argument;
};

void* runWithAlternateStack(void* raw) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(raw));
    const ThreadStart copy = *start;
    start.reset();
    const AlternateSignalStack stack;
    return copy.routine(copy.argument);
}

// Stack walk, symbols, dump -------------------------------------------------

struct FrameWalk {
    uintptr_t faultPc = 0;
    uintptr_t pcs[kMaxFrames] = {};
    int count = 0;
    bool started = false;
};

// Frames above the interrupted one belong to the handler and are skipped.
_Unwind_Reason_Code collectFrame(_Unwind_Context* context, void* data) {
    auto* walk = static_cast<FrameWalk*>(data);
    int beforeInstruction = 0;
    const uintptr_t pc = _Unwind_GetIPInfo(context, &beforeInstruction);
    if (!walk->started) {
        if (pc != walk->faultPc)
            return _URC_NO_REASON;
        walk->started = true;
    }
    if (pc == 0)
        return _URC_END_OF_STACK;
    walk->pcs[walk->count++] = pc;
    return walk->count < kMaxFrames ? _URC_NO_REASON : _URC_END_OF_STACK;
}

_Unwind_Reason_Code ignoreFrame(_Unwind_Context*, void*) { return _URC_NO_REASON; }

std::string demangled(const char* symbol) {
    int status = 0;
    char* readable = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    std::string name = status == 0 && readable ? readable : symbol;
    std::free(readable);
    if (name.size() > 2000)
        name.resize(2000);
    return name;
}

std::string hexText(uint64_t value) {
    RawText<20> text;
    return text.hex(value).c_str();
}

// "#12  symbol at file:line  [module+0xoffset]" and its shorter forms. Return
// addresses are looked up one byte back, inside the call.
std::string describeFrame(Dwfl* dwfl, int index, uintptr_t pc) {
    const Dwarf_Addr lookup = index == 0 ? pc : pc - 1;
    Dwfl_Module* module = dwfl ? dwfl_addrmodule(dwfl, lookup) : nullptr;
    RawText<4> number;
    std::string line = std::string("#") + number.dec(index, 2).c_str() + "  ";
    GElf_Off offset = 0;
    GElf_Sym symbolInfo{};
    const char* symbol =
        module ? dwfl_module_addrinfo(module, lookup, &offset, &symbolInfo, nullptr, nullptr, nullptr) : nullptr;
    Dwfl_Line* source = module ? dwfl_module_getsrc(module, lookup) : nullptr;
    int lineNumber = 0;
    const char* file =
        source ? dwfl_lineinfo(source, nullptr, &lineNumber, nullptr, nullptr, nullptr) : nullptr;
    if (symbol && file)
        line += demangled(symbol) + " at " + file + ":" + std::to_string(lineNumber);
    else if (symbol)
        line += demangled(symbol) + " + 0x" + hexText(offset + (pc - lookup));
    else
        line += "0x" + hexText(pc);
    Dwarf_Addr start = 0;
    const char* moduleName =
        module ? dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr) : nullptr;
    if (moduleName)
        line += std::string("  [") + baseName(moduleName) + "+0x" + hexText(pc - start) + "]";
    return line + "\n";
}

struct SymbolizerJob {
    const FrameWalk* walk;
    int out;
};

void symbolizeFrames(SymbolizerJob* job) {
    char* debuginfoPath = nullptr;
    Dwfl_Callbacks callbacks{};
    callbacks.find_elf = dwfl_linux_proc_find_elf;
    callbacks.find_debuginfo = dwfl_standard_find_debuginfo;
    callbacks.debuginfo_path = &debuginfoPath;
    Dwfl* dwfl = dwfl_begin(&callbacks);
    if (dwfl) {
        dwfl_report_begin(dwfl);
        const bool reported = dwfl_linux_proc_report(dwfl, getpid()) == 0;
        dwfl_report_end(dwfl, nullptr, nullptr);
        if (!reported) {
            dwfl_end(dwfl);
            dwfl = nullptr;
        }
    }
    for (int i = 0; i < job->walk->count; ++i) {
        const std::string line = describeFrame(dwfl, i, job->walk->pcs[i]);
        if (!writeAll(job->out, line.data(), line.size()))
            break;
    }
    _exit(0);
}

// Runs in a child process: libdw allocates, and the crashed process may hold
// the allocator's lock. The child starts on the small signal stack, too small
// for DWARF and demangling, so the work moves to a stack of its own.
[[noreturn]] void symbolizeInChild(const FrameWalk& walk, int out) {
    for (int signal : kFatalSignals)
        ::signal(signal, SIG_DFL);
    constexpr std::size_t kStackSize = 8 * 1024 * 1024;
    void* stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    static ucontext_t caller;
    static ucontext_t worker;
    static SymbolizerJob job;
    job = SymbolizerJob{&walk, out};
    if (stack == MAP_FAILED || getcontext(&worker) != 0)
        _exit(1);
    worker.uc_stack.ss_sp = stack;
    worker.uc_stack.ss_size = kStackSize;
    worker.uc_link = nullptr;
    makecontext(&worker, reinterpret_cast<void (*)()>(symbolizeFrames), 1, &job);
    swapcontext(&caller, &worker);
    _exit(1);
}

int64_t monotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void reapChild(pid_t child, bool kill) {
    if (kill)
        ::kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Copies the child's frame lines into the log as they come; returns how many
// arrived whole before the child ended or ran out of time.
int writeSymbolizedFrames(int logFd, const FrameWalk& walk) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return 0;
    const pid_t child = _Fork();
    if (child == 0) {
        close(pipeFds[0]);
        symbolizeInChild(walk, pipeFds[1]);
    }
    close(pipeFds[1]);
    if (child < 0) {
        close(pipeFds[0]);
        return 0;
    }
    static RawText<4096> line;
    line.clear();
    int lines = 0;
    const int64_t deadline = monotonicMilliseconds() + kSymbolizerSeconds * 1000;
    bool done = false;
    while (!done && lines < walk.count) {
        const int64_t remaining = deadline - monotonicMilliseconds();
        if (remaining <= 0)
            break;
        pollfd readable{pipeFds[0], POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(remaining));
        if (ready < 0 && errno == EINTR)
            continue;
        char chunk[1024];
        const ssize_t got = ready > 0 ? read(pipeFds[0], chunk, sizeof chunk) : 0;
        if (got < 0 && errno == EINTR)
            continue;
        done = got <= 0;
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] != '\n') {
                line.add(chunk[i]);
                continue;
            }
            line.add('\n').writeTo(logFd);
            line.clear();
            ++lines;
        }
    }
    close(pipeFds[0]);
    reapChild(child, true);
    return lines;
}

template <std::size_t N>
void addModulePart(RawText<N>& out, uintptr_t pc) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(pc), &info) == 0 || !info.dli_fbase)
        return;
    const char* path = modulePath(info);
    out.add("  [").add(baseName(path)).add("+0x").hex(pc - reinterpret_cast<uintptr_t>(info.dli_fbase)).add(']');
}

void writeStackTrace(int logFd, const FrameWalk& walk) {
    if (logFd < 0)
        return;
    writeAll(logFd, "Stack trace:\n------------\n", 26);
    const int symbolized = writeSymbolizedFrames(logFd, walk);
    static RawText<256> fallback;
    for (int i = symbolized; i < walk.count; ++i) {
        fallback.clear();
        fallback.add('#').dec(i, 2).add("  0x").hex(walk.pcs[i]);
        addModulePart(fallback, walk.pcs[i]);
        fallback.add('\n').writeTo(logFd);
    }
    writeAll(logFd, "\n", 1);
}

struct MachineState {
    uintptr_t pc = 0;
    uintptr_t sp = 0;
};

MachineState machineState(const ucontext_t* context) {
    MachineState state;
    if (!context)
        return state;
#if defined(__x86_64__)
    state.pc = static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
    state.sp = static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
    state.pc = static_cast<uintptr_t>(context->uc_mcontext.pc);
    state.sp = static_cast<uintptr_t>(context->uc_mcontext.sp);
#endif
    return state;
}

template <std::size_t N>
void addRegisters(RawText<N>& out, const ucontext_t* context) {
    if (!context)
        return;
#if defined(__x86_64__)
    static const char* const names[NGREG] = {"r8",  "r9",  "r10", "r11",    "r12", "r13",    "r14",     "r15",
                                             "rdi", "rsi", "rbp", "rbx",    "rdx", "rax",    "rcx",     "rsp",
                                             "rip", "efl", "csgsfs", "err", "trapno", "oldmask", "cr2"};
    for (int i = 0; i < NGREG; ++i)
        out.add(names[i]).add(" 0x").hex(static_cast<uint64_t>(context->uc_mcontext.gregs[i])).add('\n');
#elif defined(__aarch64__)
    for (int i = 0; i < 31; ++i)
        out.add('x').dec(i).add(" 0x").hex(context->uc_mcontext.regs[i]).add('\n');
    out.add("sp 0x").hex(context->uc_mcontext.sp).add("\npc 0x").hex(context->uc_mcontext.pc).add('\n');
#endif
}

bool parseHex(const char*& cursor, uintptr_t& value) {
    value = 0;
    const char* start = cursor;
    for (;; ++cursor) {
        const char c = *cursor;
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            break;
        value = value * 16 + static_cast<uintptr_t>(digit);
    }
    return cursor != start;
}

struct Region {
    uintptr_t begin = 0;
    uintptr_t end = 0;
};

// Copies /proc/self/maps to `out` and finds the readable mapping holding `address`.
Region copyMemoryMap(int out, uintptr_t address, bool& ok) {
    Region found;
    const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0)
        return found;
    static char lineBuffer[4352];
    std::size_t lineSize = 0;
    char chunk[2048];
    ssize_t got = 0;
    while ((got = read(maps, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
        ok = writeAll(out, chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0))) && ok;
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] != '\n') {
                if (lineSize + 1 < sizeof lineBuffer)
                    lineBuffer[lineSize++] = chunk[i];
                continue;
            }
            lineBuffer[lineSize] = '\0';
            lineSize = 0;
            const char* cursor = lineBuffer;
            Region region;
            if (!parseHex(cursor, region.begin) || *cursor++ != '-' || !parseHex(cursor, region.end))
                continue;
            if (address >= region.begin && address < region.end && cursor[0] == ' ' && cursor[1] == 'r')
                found = region;
        }
    }
    close(maps);
    return found;
}

// Our own compact dump: signal, registers, memory map and the top of the
// crashing thread's stack, as text.
bool writeDumpFile(int fd, int signal, const siginfo_t* info, const ucontext_t* context, const char* signalName) {
    static RawText<4096> head;
    head.clear();
    head.add(detail::rawLogAppName()).add(" crash dump\n");
    head.add("Signal: ").dec(signal).add(' ').add(signalName).add('\n');
    head.add("Code: ").dec(info ? info->si_code : 0).add(' ').add(crashSignalCodeName(signal, info ? info->si_code : 0));
    head.add("\nFault address: 0x").hex(info ? reinterpret_cast<uintptr_t>(info->si_addr) : 0);
    head.add("\nProcess: ").dec(getpid()).add("  Thread: ").dec(gettid()).add("\n\nRegisters:\n");
    addRegisters(head, context);
    head.add("\nMemory map:\n");
    bool ok = head.writeTo(fd);
    const MachineState state = machineState(context);
    const Region stack = copyMemoryMap(fd, state.sp, ok);
    if (stack.end > state.sp) {
        const uintptr_t bytes = std::min<uintptr_t>(stack.end - state.sp, kStackDumpBytes);
        head.clear();
        head.add("\nStack from 0x").hex(state.sp).add(" (").dec(static_cast<int64_t>(bytes)).add(" bytes):\n");
        ok = head.writeTo(fd) && ok;
        for (uintptr_t row = 0; row < bytes; row += 16) {
            head.clear();
            head.hex(state.sp + row).add(':');
            const auto* bytesAt = reinterpret_cast<const unsigned char*>(state.sp + row);
            for (uintptr_t i = 0; i < 16 && row + i < bytes; ++i)
                head.add(' ').add("0123456789abcdef"[bytesAt[i] >> 4]).add("0123456789abcdef"[bytesAt[i] & 15]);
            ok = head.add('\n').writeTo(fd) && ok;
        }
    }
    close(fd);
    return ok;
}

// Crash signal handler ---------------------------------------------------------

std::atomic<int> crashReported{0};
std::atomic<pid_t> reportingThread{0};

bool looksLikeStackOverflow(int signal, const siginfo_t* info, uintptr_t sp) {
    if (signal != SIGSEGV || !info || (info->si_code != SEGV_MAPERR && info->si_code != SEGV_ACCERR))
        return false;
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    constexpr uintptr_t kReach = 64 * 1024;
    return address + kReach >= sp && address < sp + kReach;
}

void showCrashDialog(const char* caption, const char* text) {
    if (!displayAvailable.load() || dialogProgram[0] == '\0')
        return;
    const pid_t child = _Fork();
    if (child == 0) {
        char* const arguments[] = {dialogProgram, const_cast<char*>(caption), const_cast<char*>(text), nullptr};
        execve(dialogProgram, arguments, environ);
        _exit(127);
    }
    if (child > 0)
        reapChild(child, false);
}

void crashSignalHandler(int signal, siginfo_t* info, void* rawContext) {
    const pid_t self = gettid();
    int expected = 0;
    if (!crashReported.compare_exchange_strong(expected, 1)) {
        if (reportingThread.load() == self) {
            // The report itself crashed: end without it.
            ::signal(signal, SIG_DFL);
            raise(signal);
            return;
        }
        // Another thread reports; it ends the process.
        for (;;)
            pause();
    }
    reportingThread.store(self);
    detail::lockLogForCrash(200);

    const auto* context = static_cast<const ucontext_t*>(rawContext);
    const MachineState state = machineState(context);
    const char* name = looksLikeStackOverflow(signal, info, state.sp) ? "SIGSEGV (Stack overflow)"
                                                                      : crashSignalName(signal);
    static FrameWalk walk;
    walk.faultPc = state.pc;
    _Unwind_Backtrace(collectFrame, &walk);
    if (walk.count == 0) {
        walk.pcs[0] = state.pc;
        walk.count = 1;
    }

    const int logFd = detail::rawLogFileDescriptor();
    const char* logPath = detail::rawLogFilePath();
    static RawText<8192> header;
    header.clear();
    addBlockHead(header, 27, "APPLICATION CRASH DETECTED").add("Exception: ").add(name).add('\n');
    header.add("Signal code: ").add(crashSignalCodeName(signal, info ? info->si_code : 0)).add('\n');
    if (signal != SIGABRT && info)
        header.add("Fault address: 0x").hex(reinterpret_cast<uintptr_t>(info->si_addr)).add('\n');
    header.add("Exception address: 0x").hex(state.pc).add('\n');
    Dl_info module{};
    if (dladdr(reinterpret_cast<void*>(state.pc), &module) != 0 && module.dli_fbase) {
        const char* path = modulePath(module);
        header.add("Faulting module: ").add(baseName(path)).add("  (+0x");
        header.hex(state.pc - reinterpret_cast<uintptr_t>(module.dli_fbase)).add(")\nModule path: ").add(path).add('\n');
    }
    header.add('\n');
    if (logFd >= 0)
        header.writeTo(logFd);
    writeStackTrace(logFd, walk);

    static RawText<4096> dumpStem;
    dumpStem.clear();
    const char* slash = std::strrchr(logPath, '/');
    if (slash)
        for (const char* c = logPath; c <= slash; ++c)
            dumpStem.add(*c);
    const CivilTime now = localTimeNow();
    dumpStem.add(detail::rawLogAppName()).add('_').dec(now.year, 4, '0').dec(now.month, 2, '0').dec(now.day, 2, '0');
    dumpStem.add('_').dec(now.hour, 2, '0').dec(now.minute, 2, '0').dec(now.second, 2, '0');
    static char dumpPath[4200];
    const char* dump = dumpPath;
    static RawText<8192> text;
    const int dumpFd = detail::createDumpFile(dumpStem.c_str(), dumpPath, sizeof dumpPath);
    if (dumpFd < 0) {
        dump = "";
    } else if (!writeDumpFile(dumpFd, signal, info, context, name)) {
        unlink(dump);
        dump = "";
    }

    text.clear();
    if (*dump)
        text.add("Minidump: ").add(dump).add('\n');
    text.add("Log file: ").add(logPath).add('\n').rule();
    if (logFd >= 0)
        text.writeTo(logFd);
    text.clear();
    text.add("\n*** APPLICATION CRASHED ***\nException: ").add(name).add("\nLog file: ").add(logPath).add('\n');
    text.writeTo(STDERR_FILENO);

    text.clear();
    text.add("Application crashed!\n\nException: ").add(name).add("\n\nLog file:\n").add(logPath);
    if (*dump)
        text.add("\n\nCrash dump:\n").add(dump);
    text.add("\n\nPlease send both files to ").add(kContactAddress).add('.');
    static RawText<300> caption;
    caption.clear();
    caption.add(detail::rawLogAppName()).add(" Crash");
    showCrashDialog(caption.c_str(), text.c_str());

    ::signal(signal, SIG_DFL);
    raise(signal);
}

template <std::size_t N>
void writeFatalBlock(RawText<N>& block, const char* standardErrorTitle) {
    const char* logPath = detail::rawLogFilePath();
    block.add("Log file: ").add(logPath).add('\n').rule();
    block.writeTo(detail::rawLogFileDescriptor());
    block.clear();
    block.add(standardErrorTitle).add("Log file: ").add(logPath).add('\n');
    block.writeTo(STDERR_FILENO);
}

}  // namespace

namespace detail {

int createDumpFile(const char* stem, char* path, std::size_t capacity) {
    const std::size_t stemLength = std::strlen(stem);
    // Room for the stem, "_100", ".dmp" and the terminating zero.
    if (stemLength + 9 > capacity) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(path, stem, stemLength);
    for (int attempt = 1; attempt <= 100; ++attempt) {
        char* end = path + stemLength;
        if (attempt > 1) {
            *end++ = '_';
            if (attempt >= 100)
                *end++ = '1';
            if (attempt >= 10)
                *end++ = static_cast<char>('0' + attempt / 10 % 10);
            *end++ = static_cast<char>('0' + attempt % 10);
        }
        std::memcpy(end, ".dmp", 5);
        const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

}  // namespace detail

const char* crashSignalName(int signal) {
    switch (signal) {
    case SIGSEGV: return "SIGSEGV (Segmentation fault)";
    case SIGBUS: return "SIGBUS (Bus error)";
    case SIGILL: return "SIGILL (Illegal instruction)";
    case SIGFPE: return "SIGFPE (Floating-point exception)";
    case SIGABRT: return "SIGABRT (Aborted)";
    }
    return "Unknown signal";
}

const char* crashSignalCodeName(int signal, int code) {
    switch (code) {
    case SI_USER: return "SI_USER (sent by kill)";
    case SI_TKILL: return "SI_TKILL (sent by tkill or raise)";
    case SI_QUEUE: return "SI_QUEUE (sent by sigqueue)";
    case SI_KERNEL: return "SI_KERNEL (sent by the kernel)";
    }
    if (signal == SIGSEGV) {
        switch (code) {
        case SEGV_MAPERR: return "SEGV_MAPERR (address not mapped to object)";
        case SEGV_ACCERR: return "SEGV_ACCERR (invalid permissions for mapped object)";
        case SEGV_BNDERR: return "SEGV_BNDERR (failed address bound checks)";
        case SEGV_PKUERR: return "SEGV_PKUERR (access denied by memory protection keys)";
        }
    } else if (signal == SIGBUS) {
        switch (code) {
        case BUS_ADRALN: return "BUS_ADRALN (invalid address alignment)";
        case BUS_ADRERR: return "BUS_ADRERR (nonexistent physical address)";
        case BUS_OBJERR: return "BUS_OBJERR (object-specific hardware error)";
        case BUS_MCEERR_AR: return "BUS_MCEERR_AR (hardware memory error consumed on a machine check)";
        case BUS_MCEERR_AO: return "BUS_MCEERR_AO (hardware memory error detected, action optional)";
        }
    } else if (signal == SIGILL) {
        switch (code) {
        case ILL_ILLOPC: return "ILL_ILLOPC (illegal opcode)";
        case ILL_ILLOPN: return "ILL_ILLOPN (illegal operand)";
        case ILL_ILLADR: return "ILL_ILLADR (illegal addressing mode)";
        case ILL_ILLTRP: return "ILL_ILLTRP (illegal trap)";
        case ILL_PRVOPC: return "ILL_PRVOPC (privileged opcode)";
        case ILL_PRVREG: return "ILL_PRVREG (privileged register)";
        case ILL_COPROC: return "ILL_COPROC (coprocessor error)";
        case ILL_BADSTK: return "ILL_BADSTK (internal stack error)";
        }
    } else if (signal == SIGFPE) {
        switch (code) {
        case FPE_INTDIV: return "FPE_INTDIV (integer divide by zero)";
        case FPE_INTOVF: return "FPE_INTOVF (integer overflow)";
        case FPE_FLTDIV: return "FPE_FLTDIV (floating-point divide by zero)";
        case FPE_FLTOVF: return "FPE_FLTOVF (floating-point overflow)";
        case FPE_FLTUND: return "FPE_FLTUND (floating-point underflow)";
        case FPE_FLTRES: return "FPE_FLTRES (floating-point inexact result)";
        case FPE_FLTINV: return "FPE_FLTINV (floating-point invalid operation)";
        case FPE_FLTSUB: return "FPE_FLTSUB (subscript out of range)";
        }
    }
    return "unknown code";
}

void setCrashDialogProgram(const QString& program) {
    copyPath(dialogProgram, sizeof dialogProgram, QFile::encodeName(program));
    dialogProgramChosen.store(true);
}

void installCrashHandlers() {
    const time_t now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local))
        utcOffsetSeconds.store(local.tm_gmtoff);

    const ssize_t length = readlink("/proc/self/exe", executablePath, sizeof executablePath - 1);
    executablePath[length > 0 ? length : 0] = '\0';
    if (!dialogProgramChosen.load()) {
        const char* slash = std::strrchr(executablePath, '/');
        const QByteArray folder(executablePath, slash ? static_cast<qsizetype>(slash - executablePath) : 0);
        copyPath(dialogProgram, sizeof dialogProgram, folder + "/tavro_crash_dialog");
    }
    displayAvailable.store(!qEnvironmentVariableIsEmpty("DISPLAY") ||
                           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"));

    // The first unwind and dladdr resolve their own symbols, which is no work for
    // a crashing process.
    _Unwind_Backtrace(ignoreFrame, nullptr);
    Dl_info ignored{};
    dladdr(reinterpret_cast<void*>(&installCrashHandlers), &ignored);

    static const AlternateSignalStack mainThreadStack;
    struct sigaction action {};
    action.sa_sigaction = crashSignalHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : kFatalSignals)
        sigaction(signal, &action, nullptr);
    std::set_terminate(onTerminate);
}

void crashIfRequested() {
    if (!qEnvironmentVariable("TAVRO_CRASH_TEST").startsWith(QLatin1Char('1')))
        return;
    qDebug() << "TAVRO_CRASH_TEST=1 : plantage volontaire pour eprouver le rapport";
    volatile int* volatile target = nullptr;
    *target = 1;
}

void onTerminate() {
    static std::atomic<bool> entered{false};
    if (entered.exchange(true))
        abortWithoutReport();
    detail::lockLogForCrash(1000);
    static RawText<8192> block;
    addBlockHead(block, 25, "std::terminate() CALLED").add("Uncaught C++ exception or explicit std::terminate()\n");
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& exception) {
            block.add("Exception: ").add(exception.what()).add('\n');
        } catch (...) {
            block.add("Exception: (unknown type)\n");
        }
    }
    writeFatalBlock(block, "\n*** std::terminate() called ***\n");
    abortWithoutReport();
}

void onPureVirtualCall() {
    static std::atomic<bool> entered{false};
    if (entered.exchange(true))
        abortWithoutReport();
    detail::lockLogForCrash(1000);
    static RawText<8192> block;
    addBlockHead(block, 22, "PURE VIRTUAL FUNCTION CALL").add("Pure virtual function called\n");
    writeFatalBlock(block, "\n*** Pure virtual function call ***\n");
    abortWithoutReport();
}

}  // namespace tavro::app

// Our runtime hooks. The program's own definitions take the place of the C++
// runtime's and the thread library's for every caller, shared libraries too.

extern "C" void __cxa_pure_virtual() { tavro::app::onPureVirtualCall(); }

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                              void* argument) noexcept {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto realCreate = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (!realCreate)
        return EAGAIN;
    std::unique_ptr<tavro::app::ThreadStart> start;
    try {
        start = std::make_unique<tavro::app::ThreadStart>(tavro::app::ThreadStart{routine, argument});
    } catch (...) {
        return EAGAIN;
    }
    const int result = realCreate(thread, attributes, tavro::app::runWithAlternateStack, start.get());
    if (result == 0)
        start.release();
    return result;
}
