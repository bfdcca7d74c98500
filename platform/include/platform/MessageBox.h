#pragma once
#include <string>

namespace platform {

// MessageBox styles and results, as Windows numbers them.
inline constexpr unsigned kMbOk = 0x0;
inline constexpr unsigned kMbIconError = 0x10;
inline constexpr unsigned kMbIconInformation = 0x40;
inline constexpr unsigned kMbSetForeground = 0x10000;
inline constexpr int kIdOk = 1;

// MessageBoxA without an owner window. A service on POSIX has no desktop to show it on: the
// box is written to standard error as "caption: text" and counts as answered with OK. The
// caller logs the text where a log needs it.
int messageBox(const std::string& text, const std::string& caption, unsigned style = kMbOk);

// The calling thread, as closeMessageBoxes names it.
unsigned long currentThreadId();

// Closes the boxes that thread `thread` shows, as their close button would (the box returns
// from messageBox); false when it shows none. On POSIX no box stays up, so there is none.
bool closeMessageBoxes(unsigned long thread);

// MessageBeep's simple beep; nothing where there is no sound to make.
void simpleBeep();

}  // namespace platform
