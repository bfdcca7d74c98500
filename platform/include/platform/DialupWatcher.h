#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// One network interface as the dial-up watcher sees it.
struct NetworkInterface {
    std::string name;
    bool pointToPoint = false;  // a dial-up style link (IFF_POINTOPOINT)
    bool up = false;            // administratively up (IFF_UP)
    bool running = false;       // carrier present (IFF_RUNNING)
};

// Lists the interfaces; nothing when the system cannot tell.
using InterfaceLister = std::function<std::optional<std::vector<NetworkInterface>>()>;

// The system's interfaces (getifaddrs), one entry per interface name.
std::optional<std::vector<NetworkInterface>> listNetworkInterfaces();

// Tells whether a dial-up connection is up. Whether dial-up exists at all is decided once, at
// creation: on Linux the watcher is available when the system has a point-to-point interface.
// An unavailable watcher has nothing to watch, so callers let traffic through.
class DialupWatcher {
public:
    DialupWatcher();
    // For tests: the interfaces come from `lister` instead of the system.
    explicit DialupWatcher(InterfaceLister lister);

    bool available() const { return available_; }
    // A point-to-point interface is up and running now; false when the listing fails.
    bool connected() const;

private:
    InterfaceLister lister_;
    bool available_ = false;
};

}  // namespace platform
