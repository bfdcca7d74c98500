#pragma once
#include <string>
#include <string_view>

#include "wisp/Text.h"

namespace wisp {

inline constexpr const char* kIniFileName = "wispsvc.ini";
inline constexpr const char* kIniSection = "WISPSVC";
inline constexpr const char* kServerKey = "server";
inline constexpr int kServerDefault = 0;

// WISP_CONFIG_DIR/wispsvc.ini when the variable is set, else the file in the platform's
// settings folder (beside the program on Windows, /etc on Linux).
std::string iniPath();

inline constexpr const char* kMaxStepKey = "maxstep";
inline constexpr int kMaxStepDefault = 0;

struct WispSettings {
    int server = kServerDefault;    // non-zero: send broadcasts; 0: listen
    int maxStep = kMaxStepDefault;  // seconds; a larger correction is refused; 0: no limit
};

// The settings of an ini text: the default for a missing file, section or key; the default
// and a printed warning for a value that is no number (maxstep: no number of seconds, 0 or
// more) or a file that is no settings file; a warning for each line skipped.
WispSettings settingsFromText(std::string_view text, const std::string& path, Console& console);
// The same for the file at `path` (a missing file is no warning).
WispSettings readSettings(const std::string& path, Console& console);

}  // namespace wisp
