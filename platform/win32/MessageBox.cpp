#include "platform/MessageBox.h"

#include <cstdio>
#include <string_view>

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

unsigned long currentThreadId() {
    return ::GetCurrentThreadId();
}

bool closeMessageBoxes(unsigned long thread) {
    bool found = false;
    ::EnumThreadWindows(
        thread,
        [](HWND window, LPARAM data) -> BOOL {
            // A message box is a dialog of the system's dialog class.
            char name[16] = {};
            if (::GetClassNameA(window, name, sizeof name) > 0 &&
                std::string_view(name) == "#32770") {
                ::PostMessageA(window, WM_CLOSE, 0, 0);
                *reinterpret_cast<bool*>(data) = true;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

void simpleBeep() {
    ::MessageBeep(0xFFFFFFFF);
}

}  // namespace platform
