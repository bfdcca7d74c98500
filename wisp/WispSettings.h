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

// The "server" setting of an ini text: the default when the file, the section or the key is
// missing; the default and a printed warning when the file or the value is malformed.
int serverSettingFromText(std::string_view text, const std::string& path, Console& console);
// The same for the file at `path` (a missing file is no warning).
int readServerSetting(const std::string& path, Console& console);

}  // namespace wisp
