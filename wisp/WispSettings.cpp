#include "wisp/WispSettings.h"

#include <fstream>
#include <iterator>

#include "platform/ProgramFiles.h"
#include "platform/Seams.h"
#include "wisp/IniFile.h"

namespace wisp {

std::string iniPath() {
    std::string directory = platform::environment("WISP_CONFIG_DIR");
    if (directory.empty()) {
        directory = platform::defaultSettingsDirectory();
    }
    const char separator = directory.find('\\') != std::string::npos ? '\\' : '/';
    if (!directory.empty() && directory.back() != '/' && directory.back() != '\\') {
        directory += separator;
    }
    return directory + kIniFileName;
}

int serverSettingFromText(std::string_view text, const std::string& path, Console& console) {
    IniFile file;
    IniFile::Error error;
    if (!IniFile::parse(text, file, error)) {
        if (error.line > 0) {
            console.print("Warning: %s is malformed (line %d: %s); using %s=%d", path.c_str(),
                          error.line, error.reason.c_str(), kServerKey, kServerDefault);
        } else {
            console.print("Warning: %s is malformed (%s); using %s=%d", path.c_str(),
                          error.reason.c_str(), kServerKey, kServerDefault);
        }
        return kServerDefault;
    }
    const auto value = file.value(kIniSection, kServerKey);
    if (!value) {
        return kServerDefault;
    }
    const auto number = parseIniInteger(*value);
    if (!number) {
        console.print("Warning: %s: %s=%s is not a number; using %s=%d", path.c_str(), kServerKey,
                      value->c_str(), kServerKey, kServerDefault);
        return kServerDefault;
    }
    return *number;
}

int readServerSetting(const std::string& path, Console& console) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return kServerDefault;
    }
    // One byte more than a settings file may hold, so an oversized file shows as one.
    std::string text(IniFile::kMaxSize + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return serverSettingFromText(text, path, console);
}

}  // namespace wisp
