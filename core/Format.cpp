#include "core/Format.h"

#include <cmath>
#include <cstdio>

namespace core {

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

std::string printableForLog(std::string_view text) {
    if (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") {
        text.remove_suffix(2);
    } else if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace core
