#include "platform/File.h"

#include <fcntl.h>

#include <cerrno>

#include "posix/FileWrite.h"

namespace platform {

namespace {

Status failed(int error) {
    setLastSystemError(error);
    return Status::failure(error);
}

}  // namespace

Status appendToFile(const std::string& path, const std::string& data) {
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!file.valid()) {
        return failed(errno);
    }
    // O_APPEND moves to the end for each write, so a whole line written at once cannot be
    // split by another writer's line; the loop only matters for a short write (disk full).
    if (const int error = writeAll(file.get(), data)) {
        return failed(error);
    }
    return Status::success();
}

}  // namespace platform
