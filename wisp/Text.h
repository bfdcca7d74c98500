#pragma once
// Where the Wisp programs print their messages, and the system's error texts as they print them.
#include <mutex>
#include <string>

#include "core/Format.h"

namespace wisp {

// "%s (0x%x)": the system's message for the number, its line break cut; the number alone where
// the system has no text, since a console line without it would say nothing.
std::string systemErrorText(int error);
std::string lastSystemErrorText();

// Where the programs print their messages, one line each.
class Console {
public:
    virtual ~Console() = default;
    virtual void line(const std::string& text) = 0;
    void print(const char* fmt, ...) KRONEL_PRINTF(2, 3);
};

// Standard output, a whole line at a time (the worker and the service threads share it).
class StdoutConsole : public Console {
public:
    void line(const std::string& text) override;

private:
    std::mutex mutex_;
};

}  // namespace wisp
