#include "engine/Format.h"

#include <cmath>
#include <cstdio>

namespace engine {

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

}  // namespace engine
