#include "posix/FileWrite.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {

int writeAll(int fd, const std::string& data) {
    const char* next = data.data();
    size_t left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, next, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        next += n;
        left -= static_cast<size_t>(n);
    }
    return 0;
}

int replaceFile(const std::string& path, const std::string& text, const ReplaceOptions& options,
                UniqueFd* written) {
    const std::string temporary = path + ".tmp";
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        return errno;
    }
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       options.mode));
    if (!fd.valid()) {
        return errno;
    }
    int error = options.prepare ? options.prepare(fd.get()) : 0;
    if (error == 0) {
        error = writeAll(fd.get(), text);
    }
    if (error == 0 && ::fsync(fd.get()) != 0) {
        error = errno;
    }
    if (error == 0) {
        // link refuses a name that is taken, where rename would replace the file.
        const int moved = options.keepExisting ? ::link(temporary.c_str(), path.c_str())
                                               : ::rename(temporary.c_str(), path.c_str());
        if (moved != 0) {
            error = errno;
        }
    }
    if (error != 0 || options.keepExisting) {
        ::unlink(temporary.c_str());
    }
    if (error == 0 && written != nullptr) {
        *written = std::move(fd);
    }
    return error;
}

}  // namespace platform
