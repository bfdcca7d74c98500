#include "desktop/StatusModel.h"

#include "core/Format.h"
#include "core/TimeValue.h"
#include "engine/CReg.h"

namespace desktop {

StatusValues StatusValues::read(platform::RegRoot root, const std::string& parametersKey) {
    const engine::CReg key(parametersKey, root, true);
    StatusValues v;
    v.lastDelta = config::readText(key, "LastDelta");
    v.lastContact = config::readText(key, "LastContact");
    v.timeSource = config::readText(key, "TimeSource");
    v.drift = config::readText(key, "Drift");
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

void ShownStatus::update(const engine::StatusSnapshot& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    values_.lastDelta = status.lastDelta;
    values_.lastContact = status.lastContact;
    values_.timeSource = status.timeSource;
    values_.drift = status.drift;
}

StatusValues ShownStatus::values() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
}

void ServingActivity::note(int kind, const platform::UnixTime& when) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (kind == kRequest) {
        lastRequest_ = when;
    } else if (kind == kBroadcast) {
        lastBroadcast_ = when;
    }
}

std::string ServingActivity::text() const {
    const auto clockText = [](const platform::UnixTime& time) {
        const core::CalendarTime c = core::calendarFromUnix(time);
        return core::format("%02d:%02d:%02d", c.hour, c.minute, c.second);
    };
    std::lock_guard<std::mutex> lock(mutex_);
    std::string parts;
    if (lastRequest_) {
        parts = "last request " + clockText(*lastRequest_);
    }
    if (lastBroadcast_) {
        parts += (parts.empty() ? "" : ", ") + std::string("last broadcast ") +
                 clockText(*lastBroadcast_);
    }
    return parts.empty() ? "" : "Serving: " + parts;
}

}  // namespace desktop
