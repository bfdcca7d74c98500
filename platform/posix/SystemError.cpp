#include "platform/SystemError.h"

#include <cstring>

#include "platform/ServiceHost.h"

namespace platform {

namespace {

// strerror_r comes in two shapes; these pick the text out of either.
[[maybe_unused]] const char* messageText(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* messageText(const char* result, const char* /*buffer*/) {
    return result;
}

}  // namespace

std::optional<std::string> systemMessage(int error) {
    // The service manager's own numbers (1060 and up) lie above every errno value.
    if (const char* serviceText = serviceErrorMessage(error)) {
        return std::string(serviceText) + "\r\n";
    }
    char buffer[512] = {};
    const char* text = messageText(strerror_r(error, buffer, sizeof buffer), buffer);
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    // The C library makes up "Unknown error N" for numbers it has no text for; the system
    // message table has nothing for them.
    if (std::strncmp(text, "Unknown error", 13) == 0) {
        return std::nullopt;
    }
    // The system message table ends each text with a line break; callers cut it.
    return std::string(text) + "\r\n";
}

}  // namespace platform
