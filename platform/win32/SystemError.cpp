#include "platform/SystemError.h"

#include "win32/Win32.h"

namespace platform {

std::optional<std::string> systemMessage(int error) {
    char* buffer = nullptr;
    // Inserts are left as they are: system texts such as "%1 is not a valid Win32
    // application." would otherwise be read from an argument array that does not exist.
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
            FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (buffer == nullptr) {
        return std::nullopt;
    }
    std::string text(buffer, length);
    ::LocalFree(buffer);
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

}  // namespace platform
