#pragma once
// How every writer of ours replaces a file in a folder that may come from
// anywhere: through a temporary file beside the target that is renamed over
// it once complete, never through a planted link, never over a FIFO or device.

#include <string>
#include <string_view>

namespace tavro::platform {

// The end of the chain of symbolic links at `path`, or the path a dangling
// chain names. An existing target that is not a regular file, and a loop, are
// refused with the reason in `error`.
bool resolveChain(const std::string& path, std::string& target, std::string& error);

// The file a write to `path` replaces: the end of its chain (so that no link
// of it becomes a file elsewhere). Refused besides: a target its owner made
// read-only, and, when `within` names a folder, a target whose real location
// lies outside that folder's.
bool resolveWriteTarget(const std::string& path, std::string& target, std::string& error,
                        const std::string& within = {});

// A name ".<target's name>.<16 hex digits>.tmp" beside `target`; the file is
// removed on every path out unless it was committed.
class ReplacementFile {
public:
    explicit ReplacementFile(const std::string& target);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    const std::string& path() const { return path_; }
    // Gives the temporary file the mode and owner of the file it replaces
    // (as far as the process may), then renames it over the target.
    bool commit(std::string& error);

private:
    std::string target_;
    std::string path_;
    bool committed_ = false;
};

// `bytes` as the whole new content of `path` (resolved as resolveWriteTarget
// does), on disk before it replaces the old file, which stays whole on any
// failure.
bool replaceFileContents(const std::string& path, std::string_view bytes, std::string& error,
                         const std::string& within = {});

// With SIGXFSZ at its default action a file-size limit ends the process in
// the middle of a write; ignored, the write fails with EFBIG and is reported.
// A handler of the application's own is left in place.
void ignoreFileSizeSignal();

// Whether a folder entry is a temporary file that one of our writers left
// behind when it was killed.
bool isLeftoverTemporaryName(std::string_view name);

}  // namespace tavro::platform
