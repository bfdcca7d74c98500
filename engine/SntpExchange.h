#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/Event.h"
#include "platform/Socket.h"

namespace engine {

// What the SNTP server offers the two clients that have no socket of their own: its socket on
// the NTP port to send from, and the last mode-4 answer and mode-5 broadcast it received,
// each announced by a manual-reset event. Declared here so clients never include servers.
class SntpExchange {
public:
    using Datagram = std::array<uint8_t, 48>;
    struct Received {
        Datagram bytes{};
        platform::Endpoint sender;
    };

    virtual ~SntpExchange() = default;

    // Sends from the server's socket; fails with WSAENOTSOCK when the server has none.
    virtual platform::IoResult sendFromServerSocket(const void* data, size_t size,
                                                    const platform::Endpoint& to) = 0;

    virtual platform::Event& replyEvent() = 0;
    virtual Received lastReply() const = 0;

    virtual platform::Event& broadcastEvent() = 0;
    virtual Received lastBroadcast() const = 0;
};

}  // namespace engine
