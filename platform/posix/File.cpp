#include "platform/File.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

// Closes the descriptor on every path out of appendToFile.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

Status failed(int error) {
    setLastSystemError(error);
    return Status::failure(error);
}

}  // namespace

Status appendToFile(const std::string& path, const std::string& data) {
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (file.get() < 0) {
        return failed(errno);
    }
    // O_APPEND moves to the end for each write, so a whole line written at once cannot be
    // split by another writer's line; the loop only matters for a short write (disk full).
    const char* next = data.data();
    size_t left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(file.get(), next, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failed(errno);
        }
        next += written;
        left -= static_cast<size_t>(written);
    }
    return Status::success();
}

}  // namespace platform
