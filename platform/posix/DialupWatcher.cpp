#include "platform/DialupWatcher.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <memory>

namespace platform {

namespace {

bool anyPointToPoint(const std::vector<NetworkInterface>& interfaces) {
    return std::any_of(interfaces.begin(), interfaces.end(),
                       [](const NetworkInterface& i) { return i.pointToPoint; });
}

}  // namespace

std::optional<std::vector<NetworkInterface>> listNetworkInterfaces() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) {
        return std::nullopt;
    }
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> list(raw, &::freeifaddrs);
    std::vector<NetworkInterface> interfaces;
    // getifaddrs gives one entry per address family; the flags are the interface's.
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr) {
            continue;
        }
        const std::string name = entry->ifa_name;
        const bool known = std::any_of(interfaces.begin(), interfaces.end(),
                                       [&](const NetworkInterface& i) { return i.name == name; });
        if (known) {
            continue;
        }
        const unsigned flags = entry->ifa_flags;
        interfaces.push_back({name, (flags & IFF_POINTOPOINT) != 0, (flags & IFF_UP) != 0,
                              (flags & IFF_RUNNING) != 0});
    }
    return interfaces;
}

DialupWatcher::DialupWatcher() : DialupWatcher(listNetworkInterfaces) {}

DialupWatcher::DialupWatcher(InterfaceLister lister) : lister_(std::move(lister)) {
    if (lister_) {
        const auto interfaces = lister_();
        available_ = interfaces && anyPointToPoint(*interfaces);
    }
}

bool DialupWatcher::connected() const {
    if (!lister_) {
        return false;
    }
    const auto interfaces = lister_();
    if (!interfaces) {
        return false;
    }
    return std::any_of(interfaces->begin(), interfaces->end(), [](const NetworkInterface& i) {
        return i.pointToPoint && i.up && i.running;
    });
}

}  // namespace platform
