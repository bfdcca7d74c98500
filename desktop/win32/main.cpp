// kronel.exe: the desktop program for Windows. "/hold" keeps the window open in one-shot mode;
// "/min" starts it minimised.
#include <windows.h>

#include <commctrl.h>

#include <cstring>

#include "desktop/win32/MainDialog.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES | ICC_BAR_CLASSES;
    InitCommonControlsEx(&controls);

    kronelwin::Options options;
    for (int i = 1; i < __argc; ++i) {
        const char* argument = __argv[i];
        if (_stricmp(argument, "/hold") == 0 || _stricmp(argument, "-hold") == 0) {
            options.holdOpen = true;
        } else if (_stricmp(argument, "/min") == 0 || _stricmp(argument, "-min") == 0) {
            options.minimized = true;
        }
    }
    kronelwin::MainDialog dialog(instance, options);
    return dialog.run();
}
