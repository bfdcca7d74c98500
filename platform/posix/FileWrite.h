#pragma once
#include <sys/types.h>

#include <functional>
#include <string>

#include "posix/UniqueFd.h"

namespace platform {

// Writes all of `data` at the file's position, past interruptions and short writes.
// 0 or the errno.
int writeAll(int fd, const std::string& data);

struct ReplaceOptions {
    mode_t mode = 0644;  // of a new file, less the umask
    // Fail with EEXIST rather than replace a file that is there already.
    bool keepExisting = false;
    // Run on the new file before the text goes in (its permissions, its owner): 0 or an errno.
    std::function<int(int fd)> prepare;
};

// Replaces the file at `path` with `text` whole: written to PATH.tmp beside it, flushed to
// the disk, then moved over it in one step, so a reader or a crash finds the old file or the
// new one, never half of one. A leftover temporary (a crashed writer's) goes first and the new
// one is made afresh without following links, so a planted link cannot aim the write at
// another file. One writer at a time per path. Returns 0 or the errno of the step that failed,
// with the temporary removed; `written`, when given, receives the new file still open.
int replaceFile(const std::string& path, const std::string& text,
                const ReplaceOptions& options = {}, UniqueFd* written = nullptr);

}  // namespace platform
