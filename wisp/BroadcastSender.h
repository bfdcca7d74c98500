#pragma once
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Socket.h"
#include "wisp/Text.h"

namespace wisp {

inline constexpr const char* kBroadcastAddress = "255.255.255.255";
inline constexpr long long kBroadcastIntervalMs = 64000;

// wispsvc with server=1: a stratum-15 NTP broadcast of this clock's time every 64 seconds.
class BroadcastSender {
public:
    BroadcastSender(Console& console, platform::Clock& clock);

    // The socket, allowed to reuse the address and to broadcast; false once a step failed.
    bool open();
    // One broadcast now.
    void sendOne();
    // Broadcasts until `stop` is set.
    void run(platform::Event& stop);

private:
    Console& console_;
    platform::Clock& clock_;
    platform::Socket socket_;
};

}  // namespace wisp
