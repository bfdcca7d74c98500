// NTP datagrams arrive from anyone who can reach the port. Whatever they hold, reading them
// must stay defined and the offsets computed from them must stay finite and bounded.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "wire/NtpPacket.h"

using wire::NtpPacket;

namespace {

// Local times on both sides of the 2036 end of era 0, and one in a later era.
constexpr double kNows[] = {3900000000.0, 4294967290.5, 4294967296.0 + 5.25, 3.0 * 4294967296.0};

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto packet = NtpPacket::fromBytes(data, size);
    check(packet.has_value() == (size >= wire::kNtpPacketSize));
    if (!packet) {
        return 0;
    }

    const uint8_t* b = data;
    const bool synchronised =
        b[0] < 192 && b[1] >= 1 && b[1] <= 15 && (b[40] | b[41] | b[42] | b[43]) != 0;
    check(packet->passesAcceptance() == synchronised);
    check(packet->usable(false));
    check(packet->usable(true) == synchronised);

    const std::string line = packet->diagnosticLine();
    check(line.rfind("Ver: ", 0) == 0 && line.size() < 80);

    // Each decoded stamp lies within half an era of `now`, so no offset can exceed an era.
    for (double now : kNows) {
        const double offset = packet->clientOffset(now);
        check(std::isfinite(offset) && std::fabs(offset) <= 4294967296.0);
        const double broadcast = packet->broadcastOffset(now);
        check(std::isfinite(broadcast) && std::fabs(broadcast) <= 2147483648.0);
    }

    // Whole seconds survive a trip through a time value and back.
    const wire::NtpTimestamp transmit = packet->timestamp(NtpPacket::kTransmit);
    if (transmit.fraction < 0xFFF00000u) {
        for (double now : kNows) {
            const double value = wire::decodeTimestampNear(transmit, now);
            check(wire::encodeTimestamp(value).seconds == transmit.seconds);
        }
    }

    // A server answering this datagram keeps its version and echoes its transmit stamp.
    const NtpPacket reply = NtpPacket::serverReply(*packet, {});
    check(reply.version() == packet->version());
    check(reply.mode() == (packet->mode() == 3 ? 4 : 2));
    check(reply.leapIndicator() == 0);
    check(reply.sameStamp(NtpPacket::kOriginate, *packet, NtpPacket::kTransmit));
    return 0;
}
