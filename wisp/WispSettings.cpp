#include "wisp/WispSettings.h"

#include <climits>
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

namespace {

// One integer key: its default when missing, and with a warning when it is no number or
// below `least`.
int integerSetting(const IniFile& file, const char* key, int fallback, int least,
                   const std::string& path, Console& console) {
    const auto value = file.value(kIniSection, key);
    if (!value) {
        return fallback;
    }
    const auto number = parseIniInteger(*value);
    if (!number || *number < least) {
        console.print("Warning: %s: %s=%s is not a number%s; using %s=%d", path.c_str(), key,
                      value->c_str(), least > INT_MIN ? " of 0 or more" : "", key, fallback);
        return fallback;
    }
    return *number;
}

}  // namespace

WispSettings settingsFromText(std::string_view text, const std::string& path, Console& console) {
    WispSettings settings;
    IniFile file;
    IniFile::Error error;
    if (!IniFile::parse(text, file, error)) {
        console.print("Warning: %s is malformed (%s); using %s=%d", path.c_str(),
                      error.reason.c_str(), kServerKey, kServerDefault);
        return settings;
    }
    for (const IniFile::Error& skipped : file.skipped()) {
        console.print("Warning: %s line %d %s", path.c_str(), skipped.line, skipped.reason.c_str());
    }
    settings.server = integerSetting(file, kServerKey, kServerDefault, INT_MIN, path, console);
    settings.maxStep = integerSetting(file, kMaxStepKey, kMaxStepDefault, 0, path, console);
    return settings;
}

WispSettings readSettings(const std::string& path, Console& console) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    // One byte more than a settings file may hold, so an oversized file shows as one.
    std::string text(IniFile::kMaxSize + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return settingsFromText(text, path, console);
}

}  // namespace wisp
