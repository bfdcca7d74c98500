#pragma once
#include <atomic>

#include "platform/DialupWatcher.h"

namespace engine {

// Keeps network clients quiet while a dial-up machine is offline. The engine owns one gate,
// sets its watch flag from WatchForDialup, and hands it to every network client.
class DialupGate {
public:
    DialupGate() = default;
    explicit DialupGate(platform::DialupWatcher watcher) : watcher_(std::move(watcher)) {}

    void setWatching(bool on) { watching_.store(on); }
    bool watching() const { return watching_.load(); }
    bool available() const { return watcher_.available(); }

    // true when a client may go on the network: nothing to watch, watching not wanted, or a
    // dial-up connection is up.
    bool passes() const;

private:
    platform::DialupWatcher watcher_;
    std::atomic<bool> watching_{false};
};

}  // namespace engine
