#pragma once
#include <optional>
#include <string>

namespace platform {

// The system's message text for an error number, as the system formats it (with its
// trailing line break, "\r\n"), or nothing when the system has no text for it.
std::optional<std::string> systemMessage(int error);

}  // namespace platform
