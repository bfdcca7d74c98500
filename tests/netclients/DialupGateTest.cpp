#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "engine/DialupGate.h"
#include "platform/DialupWatcher.h"

using engine::DialupGate;
using platform::DialupWatcher;
using platform::NetworkInterface;

namespace {

using Interfaces = std::optional<std::vector<NetworkInterface>>;

// A machine with an Ethernet card and a modem link in the given state.
platform::InterfaceLister modem(const std::atomic<bool>& up, const std::atomic<bool>& running) {
    return [&up, &running]() -> Interfaces {
        return std::vector<NetworkInterface>{{"lo", false, true, true},
                                             {"eth0", false, true, true},
                                             {"ppp0", true, up.load(), running.load()}};
    };
}

}  // namespace

TEST(DialupGate, PassesWhenNotWatching) {
    std::atomic<bool> up{false}, running{false};
    DialupGate gate{DialupWatcher(modem(up, running))};
    EXPECT_TRUE(gate.available());
    EXPECT_FALSE(gate.watching());  // clear until the engine asks for it
    EXPECT_TRUE(gate.passes());
}

TEST(DialupGate, FollowsThePointToPointLinkWhileWatching) {
    std::atomic<bool> up{false}, running{false};
    DialupGate gate{DialupWatcher(modem(up, running))};
    gate.setWatching(true);
    EXPECT_FALSE(gate.passes());
    up = true;
    EXPECT_FALSE(gate.passes()) << "up without carrier is not connected";
    running = true;
    EXPECT_TRUE(gate.passes());
    up = false;
    EXPECT_FALSE(gate.passes());
    gate.setWatching(false);
    EXPECT_TRUE(gate.passes());
}

TEST(DialupGate, PassesWhenTheSystemHasNoDialup) {
    // Availability is decided at creation, as the modem link may come and go later.
    std::atomic<bool> listed{false};
    DialupGate gate{DialupWatcher([&listed]() -> Interfaces {
        std::vector<NetworkInterface> all{{"lo", false, true, true}, {"eth0", false, true, true}};
        if (listed.load()) {
            all.push_back({"ppp0", true, false, false});
        }
        return all;
    })};
    gate.setWatching(true);
    EXPECT_FALSE(gate.available());
    EXPECT_TRUE(gate.passes());
    listed = true;
    EXPECT_TRUE(gate.passes());

    DialupGate cannotTell{DialupWatcher([]() -> Interfaces { return std::nullopt; })};
    cannotTell.setWatching(true);
    EXPECT_FALSE(cannotTell.available());
    EXPECT_TRUE(cannotTell.passes());
}

TEST(DialupGate, FailsWhileWatchingWhenTheListingFails) {
    std::atomic<bool> failing{false};
    DialupGate gate{DialupWatcher([&failing]() -> Interfaces {
        if (failing.load()) {
            return std::nullopt;
        }
        return std::vector<NetworkInterface>{{"ppp0", true, true, true}};
    })};
    gate.setWatching(true);
    EXPECT_TRUE(gate.passes());
    failing = true;
    EXPECT_FALSE(gate.passes());
}

// Linux's watcher and its loopback interface "lo"; Windows' watcher asks the remote-access
// library instead.
#ifndef _WIN32
TEST(DialupWatcher, ListsTheSystemInterfacesOncePerName) {
    const auto interfaces = platform::listNetworkInterfaces();
    ASSERT_TRUE(interfaces);
    const auto lo = std::find_if(interfaces->begin(), interfaces->end(),
                                 [](const NetworkInterface& i) { return i.name == "lo"; });
    ASSERT_NE(lo, interfaces->end());
    EXPECT_FALSE(lo->pointToPoint);
    EXPECT_TRUE(lo->up);
    for (const NetworkInterface& i : *interfaces) {
        EXPECT_EQ(std::count_if(interfaces->begin(), interfaces->end(),
                                [&](const NetworkInterface& j) { return j.name == i.name; }),
                  1)
            << i.name;
    }
    // The system watcher agrees with the listing it is built on.
    const bool anyPointToPoint =
        std::any_of(interfaces->begin(), interfaces->end(),
                    [](const NetworkInterface& i) { return i.pointToPoint; });
    EXPECT_EQ(DialupWatcher().available(), anyPointToPoint);
}
#endif  // _WIN32
