#pragma once
// What someone who may write a project folder can do to one of its folders
// while we save there: swap it, again and again, for a link to a folder
// outside (absolute and relative links in turn) and back.

#include <atomic>
#include <string>
#include <thread>

#include <cstdio>
#include <unistd.h>

namespace tavro::testing {

class FolderSwapper {
public:
    // `folder` is swapped for a link to `outside`, whose relative form from the folder's parent is `relativeOutside`.
    FolderSwapper(std::string folder, std::string outside, std::string relativeOutside)
        : folder_(std::move(folder)), movedAway_(folder_ + ".moved"), outside_(std::move(outside)),
          relative_(std::move(relativeOutside)), thread_([this] { run(); }) {}
    ~FolderSwapper() { stop(); }
    FolderSwapper(const FolderSwapper&) = delete;
    FolderSwapper& operator=(const FolderSwapper&) = delete;

    // Ends with the real folder in its place.
    void stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    int swaps() const { return swaps_; }

private:
    void run() {
        while (!stop_) {
            if (std::rename(folder_.c_str(), movedAway_.c_str()) != 0)
                continue;
            (void)::symlink(swaps_ % 2 ? outside_.c_str() : relative_.c_str(), folder_.c_str());
            ::unlink(folder_.c_str());
            std::rename(movedAway_.c_str(), folder_.c_str());
            ++swaps_;
        }
    }

    std::string folder_;
    std::string movedAway_;
    std::string outside_;
    std::string relative_;
    std::atomic<bool> stop_{false};
    std::atomic<int> swaps_{0};
    std::thread thread_;
};

}  // namespace tavro::testing
