#pragma once
// The few text helpers of the Wisp programs, which stand apart from the engine.
#include <cstdarg>
#include <mutex>
#include <string>

#if defined(__GNUC__)
#define WISP_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define WISP_PRINTF(fmt, args)
#endif

namespace wisp {

std::string format(const char* fmt, ...) WISP_PRINTF(1, 2);
std::string formatV(const char* fmt, va_list args) WISP_PRINTF(1, 0);

// "s" unless the number is exactly 1 or -1.
const char* plural(double number);

// "%s (0x%x)": the system's message for the number, its line break cut.
std::string systemErrorText(int error);
std::string lastSystemErrorText();

// Where the programs print their messages, one line each.
class Console {
public:
    virtual ~Console() = default;
    virtual void line(const std::string& text) = 0;
    void print(const char* fmt, ...) WISP_PRINTF(2, 3);
};

// Standard output, a whole line at a time (the worker and the service threads share it).
class StdoutConsole : public Console {
public:
    void line(const std::string& text) override;

private:
    std::mutex mutex_;
};

}  // namespace wisp
