// Whatever arrives on a Wisp listener's port: it answers nothing but whole client requests (and
// only when it answers at all), and moves its clock only for a whole stamped broadcast that was
// not sent to this host alone, never by more than maxstep when one is set.
// Input: byte 0 = where the datagram was sent (bits 0-1: unknown, this host alone, a broadcast
// or multicast address) and whether requests are answered (bit 2); byte 1 = maxstep in
// seconds (0: no limit); the rest is the datagram.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/SimulatedClock.h"
#include "wire/NtpPacket.h"
#include "wisp/BroadcastListener.h"
#include "wisp/ClockTrim.h"

namespace {

class SilentConsole : public wisp::Console {
public:
    void line(const std::string&) override {}
};

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    static const wisp::Destination kDestinations[] = {
        wisp::Destination::Unknown, wisp::Destination::Unicast, wisp::Destination::Group,
        wisp::Destination::Group};
    const wisp::Destination to = kDestinations[data[0] & 3];
    const wisp::ListenerOptions options{(data[0] & 4) != 0, data[1], false};
    const uint8_t* datagram = data + 2;
    const size_t length = size - 2;

    using Action = wisp::DatagramVerdict::Action;
    platform::SimulatedClock clock;
    const double now = wisp::ntpNow(clock);
    const wisp::DatagramVerdict verdict = wisp::judgeDatagram(datagram, length, to, options, now);
    const wire::NtpDatagram kind = wire::classifyNtpDatagram(datagram, length);
    const bool correcting = verdict.action == Action::Correct || verdict.action == Action::TooLarge;
    if (correcting) {
        check(kind == wire::NtpDatagram::Broadcast);
        check(to != wisp::Destination::Unicast);
        check(verdict.stratum >= 1 && verdict.stratum <= 16);
        check(std::isfinite(verdict.delta));
        if (verdict.action == Action::Correct && options.maxStep > 0) {
            check(std::fabs(verdict.delta) <= options.maxStep);
        }
        if (verdict.action == Action::TooLarge) {
            check(options.maxStep > 0 && std::fabs(verdict.delta) > options.maxStep);
        }
    }
    if (verdict.action == Action::Answer) {
        check(options.answerRequests && kind == wire::NtpDatagram::Request &&
              (datagram[0] & 7) == wire::kModeClient);
    }

    // The listener itself (its socket never opened, so an answer goes nowhere) moves the
    // clock only as judged.
    SilentConsole console;
    wisp::ClockTrim trim(clock, console);
    wisp::BroadcastListener listener(console, clock, trim, options);
    platform::TimeAdjustment before{};
    (void)clock.getAdjustment(before);
    const double offset = clock.offset();
    listener.handle(datagram, length, {0x0100000a, 123}, to, now);
    platform::TimeAdjustment after{};
    (void)clock.getAdjustment(after);
    if (verdict.action != Action::Correct) {
        check(clock.steps() == 0 && clock.offset() == offset &&
              after.adjustment == before.adjustment);
    } else if (options.maxStep > 0) {
        check(std::fabs(clock.offset() - offset) <= options.maxStep + 0.01);
    }
    return 0;
}
