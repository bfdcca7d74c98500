#pragma once
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace desktop {

// The status values the set-time operation writes, as a status display shows them.
struct StatusValues {
    std::string lastDelta = "None";
    std::string lastContact = "Never";
    std::string timeSource = "None";
    std::string drift = "Unknown";

    // Read from the parameters key, each with the text shown before its first write.
    static StatusValues read(platform::RegRoot root, const std::string& parametersKey);

    // Caption and value of each, in display order.
    std::vector<std::pair<std::string, std::string>> rows() const;
    // The tray icon's tooltip: the last result in one or two short lines.
    std::string tooltip() const;
};

}  // namespace desktop
