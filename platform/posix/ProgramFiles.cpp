#include "platform/ProgramFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Seams.h"
#include "posix/FileWrite.h"

namespace platform {

namespace {

Status failed(int error) {
    setLastSystemError(error);
    return Status::failure(error);
}

std::string autostartDirectory() {
    std::string base = environment("XDG_CONFIG_HOME");
    if (base.empty() || base[0] != '/') {
        const std::string home = environment("HOME");
        base = (home.empty() ? std::string() : home) + "/.config";
    }
    return base + "/autostart";
}

// mkdir -p for the folders above the entry.
Status makeDirectories(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '/') {
            const std::string part = path.substr(0, at);
            if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
                return failed(errno);
            }
        }
    }
    return Status::success();
}

bool plainName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    for (char c : name) {
        if (c == '/' || static_cast<unsigned char>(c) < 0x20) {
            return false;
        }
    }
    return true;
}

// An Exec word of a desktop entry: quoted, with the characters the quoting rule names escaped
// and '%' doubled, so a path with blanks or field codes starts as it is.
std::string execWord(const std::string& word) {
    std::string quoted = "\"";
    for (char c : word) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += "\\\\";
        }
        if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

std::string defaultSettingsDirectory() {
    return "/etc";
}

std::string autostartLocation(const std::string& name) {
    return autostartDirectory() + "/" + name + ".desktop";
}

Status addAutostart(const std::string& name, const std::string& executable) {
    if (!plainName(name) || executable.empty()) {
        return failed(EINVAL);
    }
    for (char c : executable) {
        if (static_cast<unsigned char>(c) < 0x20) {
            return failed(EINVAL);
        }
    }
    const Status made = makeDirectories(autostartDirectory());
    if (!made) {
        return made;
    }
    const std::string text = "[Desktop Entry]\nType=Application\nName=" + name +
                             "\nExec=" + execWord(executable) +
                             "\nTerminal=false\nNoDisplay=true\nX-GNOME-Autostart-enabled=true\n";
    const std::string path = autostartLocation(name);
    if (const int error = replaceFile(path, text)) {
        return failed(error);
    }
    return Status::success();
}

Status removeAutostart(const std::string& name) {
    if (!plainName(name)) {
        return failed(EINVAL);
    }
    if (::unlink(autostartLocation(name).c_str()) != 0) {
        return failed(errno);
    }
    return Status::success();
}

}  // namespace platform
