#pragma once
#include <string>
#include <string_view>

namespace service {

inline constexpr const char* kProgramName = "kronelsvc";

// What the program was asked to do. Only the first argument counts.
enum class Verb {
    RunService,  // no argument: run under the service manager
    Add,         // "add", exactly
    Remove,      // "remove", any case
    Cleanup,     // "cleanup", any case
    Debug,       // "debug", any case
    Usage,       // anything else
};

Verb parseVerb(int argc, const char* const argv[]);

// True only for a first argument of exactly "debug": the engine is built to print every
// message line on the console. "DEBUG" still runs the console body, with an engine built
// without it.
bool consoleDebugRequested(int argc, const char* const argv[]);

// The three usage lines.
std::string usageText();

// 0 for running as a service, 1 for every verb, whatever its outcome.
int exitCodeOf(Verb verb);

// ASCII comparison without regard to case, as the C library's stricmp.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace service
