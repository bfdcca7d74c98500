#include "core/Handlers.h"

#include <cstdarg>
#include <cstring>

#include "core/Format.h"

namespace core {

#define KRONEL_FORWARD(level)                 \
    va_list args;                             \
    va_start(args, format);                   \
    std::string text = formatV(format, args); \
    va_end(args);                             \
    message(level, source, text)

void MessageHandler::info(const std::string& source, const char* format, ...) {
    KRONEL_FORWARD(MessageLevel::Info);
}
void MessageHandler::status(const std::string& source, const char* format, ...) {
    KRONEL_FORWARD(MessageLevel::Status);
}
void MessageHandler::warn(const std::string& source, const char* format, ...) {
    KRONEL_FORWARD(MessageLevel::Warn);
}
void MessageHandler::error(const std::string& source, const char* format, ...) {
    KRONEL_FORWARD(MessageLevel::Error);
}
void MessageHandler::debug(const std::string& source, const char* format, ...) {
    KRONEL_FORWARD(MessageLevel::Debug);
}
#undef KRONEL_FORWARD

ReferenceId referenceIdFromText(const char* letters) {
    ReferenceId id{};
    for (size_t i = 0; i < id.size() && letters[i] != '\0'; ++i) {
        id[i] = static_cast<uint8_t>(letters[i]);
    }
    return id;
}

ReferenceId referenceIdFromAddress(uint32_t networkOrderAddress) {
    ReferenceId id{};
    std::memcpy(id.data(), &networkOrderAddress, id.size());
    return id;
}

int pollExponentFor(int frequencyMinutes) {
    const long long seconds = static_cast<long long>(frequencyMinutes) * 60;
    for (int i = 4; i < 14; ++i) {
        if ((seconds >> i) == 0) {
            return i;
        }
    }
    return 14;
}

}  // namespace core
