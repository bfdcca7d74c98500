#include "wisp/Text.h"

#include <cmath>
#include <cstdio>

#include "platform/Result.h"
#include "platform/SystemError.h"

namespace wisp {

std::string formatV(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (size <= 0) {
        return {};
    }
    std::string text(static_cast<size_t>(size), '\0');
    std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    return text;
}

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = formatV(fmt, args);
    va_end(args);
    return text;
}

const char* plural(double number) {
    return std::fabs(number) == 1.0 ? "" : "s";
}

std::string systemErrorText(int error) {
    std::string text = platform::systemMessage(error).value_or("");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return format("%s (0x%x)", text.c_str(), static_cast<unsigned>(error));
}

std::string lastSystemErrorText() {
    return systemErrorText(platform::lastSystemError());
}

void Console::print(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = formatV(fmt, args);
    va_end(args);
    line(text);
}

void StdoutConsole::line(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::fputs(text.c_str(), stdout);
    if (text.empty() || text.back() != '\n') {
        std::fputc('\n', stdout);
    }
    std::fflush(stdout);
}

}  // namespace wisp
