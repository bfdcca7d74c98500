#include "platform/File.h"

#include "win32/Win32.h"

namespace platform {

namespace {

// 0 or the system's error number; the file is closed before the caller sets the last error.
DWORD append(const std::string& path, const std::string& data) {
    // FILE_APPEND_DATA alone makes every write go to the end of the file, so a line written
    // in one call cannot be split by another writer's.
    const win32::UniqueHandle file(::CreateFileA(
        path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return ::GetLastError();
    }
    const char* next = data.data();
    size_t left = data.size();
    while (left > 0) {
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!::WriteFile(file.get(), next, chunk, &written, nullptr)) {
            return ::GetLastError();
        }
        next += written;
        left -= written;
    }
    return 0;
}

}  // namespace

Status appendToFile(const std::string& path, const std::string& data) {
    const DWORD error = append(path, data);
    if (error != 0) {
        setLastSystemError(static_cast<int>(error));
        return Status::failure(static_cast<int>(error));
    }
    return Status::success();
}

}  // namespace platform
