#include "platform/MessageBox.h"

#include <cstdio>

#include "win32/Win32.h"

namespace platform {

namespace {

// A service runs on a window station nobody sees: a box there would wait for an answer for
// ever.
bool visibleWindowStation() {
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    HWINSTA station = ::GetProcessWindowStation();
    return station != nullptr &&
           ::GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

int messageBox(const std::string& text, const std::string& caption, unsigned style) {
    const int answer =
        visibleWindowStation() ? ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), style) : 0;
    if (answer > 0) {
        return answer;
    }
    // No desktop to show it on (a service, or no display at all): the text still reaches
    // whoever reads the program's error output.
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    return 0;
}

void simpleBeep() {
    ::MessageBeep(0xFFFFFFFF);
}

}  // namespace platform
