#include "desktop/StatusModel.h"

#include "engine/CReg.h"

namespace desktop {

StatusValues StatusValues::read(platform::RegRoot root, const std::string& parametersKey) {
    const engine::CReg key(parametersKey, root, true);
    StatusValues v;
    v.lastDelta = key.readText("LastDelta", v.lastDelta);
    v.lastContact = key.readText("LastContact", v.lastContact);
    v.timeSource = key.readText("TimeSource", v.timeSource);
    v.drift = key.readText("Drift", v.drift);
    return v;
}

std::vector<std::pair<std::string, std::string>> StatusValues::rows() const {
    return {{"Last correction", lastDelta},
            {"Last contact", lastContact},
            {"Time source", timeSource},
            {"Drift", drift}};
}

std::string StatusValues::tooltip() const {
    if (lastContact == "Never") {
        return "Kronel: no result yet";
    }
    // Tooltips are short on most desktops (64 characters on Windows): the essentials only.
    return "Kronel: " + lastDelta + "\n" + timeSource + ", " + lastContact;
}

}  // namespace desktop
