#pragma once

#include <sys/resource.h>

#include <csignal>

namespace tavro::testing {

// Makes writes past `bytes` fail in this process until destroyed: the one
// way to fail a write as root, who ignores read-only folders and files.
// With SIGXFSZ at SIG_DFL, as a shell's `ulimit -f` leaves it, a writer that
// does not see to the signal ends the test binary.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t bytes, void (*signalAction)(int) = SIG_IGN) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, signalAction);
        rlimit small = saved_;
        small.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~ScopedFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*previous_)(int) = nullptr;
};

}  // namespace tavro::testing
