#include "wisp/Text.h"

#include <cstdarg>
#include <cstdio>

#include "core/ErrorText.h"
#include "platform/Result.h"
#include "platform/SystemError.h"

namespace wisp {

std::string systemErrorText(int error) {
    std::string text = core::systemErrorText(error);
    if (text.empty()) {
        text = core::format(" (0x%x)", static_cast<unsigned>(error));
    }
    return text;
}

std::string lastSystemErrorText() {
    return systemErrorText(platform::lastSystemError());
}

void Console::print(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = core::formatV(fmt, args);
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
