#pragma once
#include <optional>
#include <string>

namespace core {

// "%s (0x%x)": the system's message for the number (line break cut) and the same number;
// empty when the system has no text or the text is too long (length + 14 > 256).
std::string systemErrorText(int error);
// The same for the calling thread's last system error.
std::string lastSystemErrorText();
// The calling thread's last WinSock error as text: "No WinSock error" for 0, the table's
// text, the system's text for a number below the WinSock range, or "Unrecognised error
// number %d".
std::string winsockErrorText();
std::string winsockErrorText(int number);

// The rule of systemErrorText applied to a message the system gave (with its line break).
std::string systemErrorTextFrom(const std::optional<std::string>& message, int error);

}  // namespace core
