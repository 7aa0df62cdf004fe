#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace tavro::testing {

namespace {

std::string randomSuffix() {
    // random_device alone may be deterministic on some platforms; the clock and a process-wide counter keep names
    // distinct across runs and within one run regardless.
    static std::atomic<unsigned long long> counter{0};
    std::random_device device;
    const unsigned long long mixed = (static_cast<unsigned long long>(device()) << 32) ^ device() ^
                                     static_cast<unsigned long long>(
                                         std::chrono::steady_clock::now().time_since_epoch().count()) ^
                                     (++counter * 0x9E3779B97F4A7C15ull);
    char buffer[17];
    std::snprintf(buffer, sizeof buffer, "%016llx", mixed);
    return buffer;
}

} // namespace

TempDir::TempDir(std::string_view prefix) {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    // create_directory is an atomic mkdir that reports whether it made the folder, so a name taken by another
    // process or test is detected and retried rather than shared.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path candidate = base / (std::string(prefix) + "-" + randomSuffix());
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::replace, error);
            path_ = std::move(candidate);
            return;
        }
        if (error && error != std::errc::file_exists)
            throw std::filesystem::filesystem_error("cannot create a temporary folder", candidate, error);
    }
    throw std::runtime_error("cannot find an unused temporary folder name under " + base.string());
}

TempDir::~TempDir() {
    remove();
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}

TempDir& TempDir::operator=(TempDir&& other) noexcept {
    if (this != &other) {
        remove();
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

void TempDir::remove() noexcept {
    if (path_.empty())
        return;
    // remove_all's error_code overload can still throw bad_alloc; a destructor must swallow that too.
    try {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    } catch (...) {
    }
    path_.clear();
}

} // namespace tavro::testing
