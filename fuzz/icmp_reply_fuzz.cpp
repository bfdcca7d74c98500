// A raw ICMP socket sees every ICMP datagram that reaches the host. Whatever arrives,
// decoding must stay within the datagram and the offset within the hour.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "wire/IcmpTimestamp.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const wire::IcmpMessage m = wire::decodeIcmpMessage(data, size);
    if (m.kind == wire::IcmpMessage::Kind::Truncated) {
        return 0;
    }
    const size_t header = static_cast<size_t>(data[0] & 0x0F) * 4;
    check(header >= 20 && size >= header + 8 && m.type == data[header]);
    if (m.kind == wire::IcmpMessage::Kind::Unreachable) {
        check(m.type == wire::kIcmpUnreachable && !wire::unreachableText(m.code).empty());
    }
    if (m.kind == wire::IcmpMessage::Kind::Timestamp) {
        check(m.type == wire::kIcmpTimestampReply && size >= header + 20);
        for (uint32_t local : {0u, 43200000u, 86399999u, 0xFFFFFFFFu}) {
            const wire::IcmpSample sample{m.originate, m.receive, m.transmit, local};
            for (bool networkOrder : {true, false}) {
                const int64_t offset = wire::icmpOffsetMs(sample, networkOrder);
                check(offset >= -1800000 && offset <= 1800000);
            }
        }
        (void)wire::peerUsesNetworkOrder(m.receive, m.transmit);
    }
    return 0;
}
