#pragma once
#include <cstdarg>
#include <string>
#include <string_view>

#if defined(__GNUC__)
#define KRONEL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KRONEL_PRINTF(fmt, args)
#endif

namespace core {

// printf into a std::string.
std::string format(const char* fmt, ...) KRONEL_PRINTF(1, 2);
std::string formatV(const char* fmt, va_list args) KRONEL_PRINTF(1, 0);

// The plural suffix of every count: "s" unless the number is exactly 1 or -1.
const char* plural(double number);

// Text from outside (a server's reply, a receiver's line) made fit to quote in one log line:
// the trailing line end goes, other control bytes and bytes from 0x7F up are shown as \r, \n,
// \t or \xNN, so nothing received can start a line of its own in a log.
std::string printableForLog(std::string_view text);

}  // namespace core
