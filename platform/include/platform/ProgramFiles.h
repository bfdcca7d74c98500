#pragma once
// What a small program keeps outside itself: the folder of its settings file and the entry
// that starts it when a user logs in.
#include <string>

#include "platform/Result.h"

namespace platform {

// The folder a program's own settings file is read from when nothing else is said: the
// program's own folder on Windows, /etc on POSIX.
std::string defaultSettingsDirectory();

// Starts `executable` whenever the current user logs in. Windows: the value `name` of the
// user's Run key; POSIX: the XDG autostart entry NAME.desktop in $XDG_CONFIG_HOME/autostart
// (else ~/.config/autostart). An entry of that name is replaced.
Status addAutostart(const std::string& name, const std::string& executable);
// Removes that entry; fails (file or value not found) when there is none.
Status removeAutostart(const std::string& name);
// Where the entry is kept, for messages: the Run key's value or the entry's file.
std::string autostartLocation(const std::string& name);

}  // namespace platform
