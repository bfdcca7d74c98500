#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

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

// How a listener acts on what arrives.
struct ListenerOptions {
    bool answerRequests = false;  // wispsvc answers SNTP client requests; wisp95 does not
    int maxStep = 0;              // seconds; a larger correction is refused; 0: no limit
    bool verbose = false;         // a line for every datagram (debug runs)
};

// Where a datagram was sent, as far as the system tells. Only a broadcast or multicast
// address reaches every listener of a network: one sent to this host alone comes from
// someone who wants this clock in particular.
enum class Destination { Unknown, Unicast, Group };

// What one datagram asks of the listener, before the choice between senders.
struct DatagramVerdict {
    enum class Action { Ignore, Answer, Correct, TooLarge };
    Action action = Action::Ignore;
    double delta = 0.0;  // Correct, TooLarge: seconds the clock is behind the broadcast
    int stratum = 0;
};
// Answers only whole requests (mode 3, versions 1 to 4) when it answers at all; corrects only
// by whole broadcasts of stratum 1 to 16 with a transmit time, not sent to this host alone,
// and refuses corrections above maxStep. `now` is local NTP seconds.
DatagramVerdict judgeDatagram(const uint8_t* data, size_t size, Destination to,
                              const ListenerOptions& options, double now);

// The listener of both Wisp programs: NTP broadcasts set the clock; wispsvc also answers SNTP
// client requests.
class BroadcastListener {
public:
    BroadcastListener(Console& console, platform::Clock& clock, ClockTrim& trim,
                      const ListenerOptions& options);

    // The socket on the NTP port, joined to the multicast group where the network lets it;
    // false once a step it cannot do without failed (its message printed).
    bool open();
    // wispsvc's loop: one datagram after another until `stop` is set.
    void run(platform::Event& stop);
    // Takes one datagram, waiting at most `timeout`, and acts on it. false when none came
    // (time-out, stop or a failure; the first of a run of failures printed).
    bool receiveOne(platform::Millis timeout, platform::Event* stop);
    // Acts on a datagram sent to `to` and received at local time `now` (NTP seconds).
    void handle(const uint8_t* data, size_t size, const platform::Endpoint& from, Destination to,
                double now);

    platform::Socket& socket() { return socket_; }

private:
    void answer(const uint8_t* request, const platform::Endpoint& to, double received);
    void refuse(double delta, const std::string& sender, double now);

    Console& console_;
    platform::Clock& clock_;
    ClockTrim& trim_;
    ListenerOptions options_;
    platform::Socket socket_;
    BroadcastAcceptance acceptance_;
    bool destinations_ = false;    // the system tells each datagram's destination
    bool receiveFailing_ = false;  // the failure was printed; quiet until a datagram comes
    std::optional<double> lastRefusalLine_;  // when a refusal was last printed (NTP seconds)
    int refusalsLeftOut_ = 0;
};

}  // namespace wisp
