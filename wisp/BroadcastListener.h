#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Socket.h"
#include "wisp/ClockTrim.h"
#include "wisp/Text.h"

namespace wisp {

inline constexpr const char* kMulticastGroup = "224.0.1.1";
// A broadcast from another server of no lower stratum is ignored for this long after the last
// one accepted.
inline constexpr double kHoldSeconds = 601.0;
inline constexpr uint8_t kAnswerByte0 = 28;  // LI 0, VN 3, mode 4
inline constexpr uint8_t kLocalStratum = 15;

// Which broadcasts may set the clock: the server last accepted keeps the clock until one of
// lower stratum speaks, or until it has been silent for 601 seconds.
class BroadcastAcceptance {
public:
    // Times are local NTP seconds; `sender` an IPv4 address in network order.
    bool accepts(uint32_t sender, int stratum, double now) const;
    void accepted(uint32_t sender, int stratum, double now);

private:
    uint32_t sender_ = 0;
    int stratum_ = 0;
    double time_ = 0.0;
};

// The listener of both Wisp programs: NTP broadcasts set the clock; wispsvc also answers SNTP
// client requests.
class BroadcastListener {
public:
    BroadcastListener(Console& console, platform::Clock& clock, ClockTrim& trim,
                      bool answerRequests);

    // The socket on the NTP port, joined to the multicast group; false once a step failed
    // (its message printed).
    bool open();
    // wispsvc's loop: one datagram after another until `stop` is set.
    void run(platform::Event& stop);
    // Takes one datagram, waiting at most `timeout`, and acts on it. false when none came
    // (time-out, stop or a failure; failures printed).
    bool receiveOne(platform::Millis timeout, platform::Event* stop);
    // Acts on a datagram received at local time `now` (NTP seconds).
    void handle(const uint8_t* data, size_t size, const platform::Endpoint& from, double now);

    platform::Socket& socket() { return socket_; }

private:
    void answer(const uint8_t* request, const platform::Endpoint& to, double received);

    Console& console_;
    platform::Clock& clock_;
    ClockTrim& trim_;
    bool answerRequests_;
    platform::Socket socket_;
    BroadcastAcceptance acceptance_;
};

}  // namespace wisp
