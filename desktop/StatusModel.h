#pragma once
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/Settings.h"
#include "engine/EngineObserver.h"
#include "platform/Clock.h"
#include "platform/Registry.h"

namespace desktop {

// The status values the set-time operation writes, as a status display shows them.
struct StatusValues {
    std::string lastDelta = config::defaultText("LastDelta");
    std::string lastContact = config::defaultText("LastContact");
    std::string timeSource = config::defaultText("TimeSource");
    std::string drift = config::defaultText("Drift");

    // Read from the parameters key, each with the text shown before its first write.
    static StatusValues read(platform::RegRoot root, const std::string& parametersKey);

    // Caption and value of each, in display order.
    std::vector<std::pair<std::string, std::string>> rows() const;
    // The tray icon's tooltip: the last result in one or two short lines.
    std::string tooltip() const;
};

// The status values a window shows: the store's when it opens (the last run's), then each
// snapshot the engine publishes (from its threads).
class ShownStatus {
public:
    ShownStatus(platform::RegRoot root, const std::string& parametersKey)
        : values_(StatusValues::read(root, parametersKey)) {}

    void update(const engine::StatusSnapshot& status);
    StatusValues values() const;

private:
    mutable std::mutex mutex_;
    StatusValues values_;
};

// When the servers last served, for the status display: the window notes each activity the
// engine publishes (from the servers' threads) and shows the text.
class ServingActivity {
public:
    // An SNTP, daytime or time request, answered or not (an unsynchronised SNTP server keeps
    // quiet).
    static constexpr int kRequest = 1;
    static constexpr int kBroadcast = 2;  // a round of NTP broadcasts sent

    void note(int kind, const platform::UnixTime& when);
    // "Serving: last request 12:34:56, last broadcast 12:34:00", each part only once it has
    // happened; "" while no server has served.
    std::string text() const;

private:
    mutable std::mutex mutex_;
    std::optional<platform::UnixTime> lastRequest_;
    std::optional<platform::UnixTime> lastBroadcast_;
};

}  // namespace desktop
