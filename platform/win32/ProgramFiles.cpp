#include "platform/ProgramFiles.h"

#include <memory>

#include "platform/Registry.h"
#include "platform/ServiceHost.h"
#include "win32/Win32.h"

namespace platform {

namespace {

constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

}  // namespace

std::string defaultSettingsDirectory() {
    std::string path;
    if (!ownExecutablePath(path, MAX_PATH + 1)) {
        return ".";
    }
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string autostartLocation(const std::string& name) {
    return std::string("HKEY_CURRENT_USER\\") + kRunKey + "\\" + name;
}

Status addAutostart(const std::string& name, const std::string& executable) {
    std::unique_ptr<RegistryKey> key;
    const Status opened = openRegistryKey(RegRoot::CurrentUser, kRunKey, true, false, key);
    if (!opened) {
        return opened;
    }
    // Quoted: the shell would otherwise split a path with blanks.
    return key->setString(name, "\"" + executable + "\"");
}

Status removeAutostart(const std::string& name) {
    std::unique_ptr<RegistryKey> key;
    const Status opened = openRegistryKey(RegRoot::CurrentUser, kRunKey, false, false, key);
    if (!opened) {
        return opened;
    }
    return key->deleteValue(name);
}

}  // namespace platform
