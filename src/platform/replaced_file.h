#pragma once
// How every writer of ours replaces a file in a folder that may come from
// anywhere: through a temporary file beside the target that is renamed over
// it once complete, never through a planted link, never over a FIFO or device.

#include "platform/regular_file.h"

#include <string>
#include <string_view>

#include <sys/types.h>

namespace tavro::platform {

// The end of the chain of symbolic links at `path`, or the path a dangling
// chain names. An existing target that is not a regular file, and a loop, are
// refused with the reason in `error`.
bool resolveChain(const std::string& path, std::string& target, std::string& error);

// The file a write replaces, held by the descriptor of the folder it lies in:
// whatever is renamed on its path once it was found cannot move the write.
struct WriteTarget {
    FileDescriptor folder;
    std::string name;  // in `folder`
    std::string path;  // where it lies, for messages
};

// The file a write to `path` replaces: the end of its chain (so that no link
// of it becomes a file elsewhere). Refused besides: a target the process may
// not replace (mayReplaceFile), and, when `within` names a folder, a path or
// link that leads out of that folder. Below `within` every folder is opened
// from the one before it, never through a link but one read and checked here.
bool resolveWriteTarget(const std::string& path, WriteTarget& target, std::string& error,
                        const std::string& within = {});

// Whether an existing file of `owner` with `mode` may be replaced by a process
// whose effective user is `euid` and to which the file is `writable`. By the
// owner's write bit for everyone: root may write any file, but one its owner
// made read-only is not to be replaced. Anyone but root must also be able to
// write the file itself: the replacement would take it from its owner.
bool mayReplaceFile(uid_t euid, uid_t owner, mode_t mode, bool writable);

// A name ".<target's name>.<16 hex digits>.tmp" beside the target; the file is
// removed on every path out unless it was committed.
class ReplacementFile {
public:
    // The target's folder opened by its path: for files outside any project.
    explicit ReplacementFile(const std::string& target);
    explicit ReplacementFile(WriteTarget target);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    const std::string& path() const { return path_; }
    const WriteTarget& target() const { return target_; }
    // The temporary file, open for reading and writing, with the mode and
    // owner of the file it replaces (as far as the process may).
    FileDescriptor create(std::string& error);
    // Renames the temporary file over the target, in the target's folder.
    bool commit(std::string& error);

private:
    void nameTemporary();

    // Before target_: the constructor by path sets it while opening the folder.
    int folderError_ = 0;
    WriteTarget target_;
    std::string name_;
    std::string path_;
    bool created_ = false;
    bool committed_ = false;
};

// Creates `temporary` and puts `bytes` in it, on disk.
bool fillReplacement(ReplacementFile& temporary, std::string_view bytes, std::string& error);

// `bytes` as the whole new content of `path` (resolved as resolveWriteTarget
// does), on disk before it replaces the old file, which stays whole on any
// failure.
bool replaceFileContents(const std::string& path, std::string_view bytes, std::string& error,
                         const std::string& within = {});

// Removes the regular file `relative` of the folder `root`, and renames one
// file of it to another name (over one that exists), each folder below `root`
// opened from the one before it and never through a link, so a folder swapped
// for a link meanwhile cannot lead either outside `root`. A missing file is no
// error; a link or anything but a regular file is left as it is and refused.
bool removeFileBeneath(const std::string& root, const std::string& relative, std::string& error);
bool renameFileBeneath(const std::string& root, const std::string& from, const std::string& to,
                       std::string& error);

// With SIGXFSZ at its default action a file-size limit ends the process in
// the middle of a write; ignored, the write fails with EFBIG and is reported.
// A handler of the application's own is left in place.
void ignoreFileSizeSignal();

// Whether a folder entry is a temporary file that one of our writers left
// behind when it was killed.
bool isLeftoverTemporaryName(std::string_view name);

}  // namespace tavro::platform
