#include "wire/IcmpTimestamp.h"

#include <bit>
#include <cstring>

#include "core/Format.h"

namespace wire {

namespace {

uint32_t readRaw(const uint8_t* p) {
    uint32_t v = 0;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint16_t identifierBytes() {
    uint16_t raw = 0;
    const uint16_t id = kIcmpIdentifier;
    std::memcpy(&raw, &id, sizeof raw);
    return raw;
}

// Whether the ICMP message at `p` (at least 8 bytes) is a timestamp message with our identifier.
bool hasOurIdentifier(const uint8_t* p) {
    uint16_t id = 0;
    std::memcpy(&id, p + 4, sizeof id);
    return id == identifierBytes();
}

constexpr const char* kUnreachable[] = {
    "Network unreachable",
    "Host unreachable",
    "Protocol unreachable",
    "Port unreachable",
    "Fragmentation needed and DF set",
    "Source route failed",
    "Destination network unknown",
    "Destination host unknown",
    "Source host isolated",
    "Destination network administratively prohibited",
    "Destination host administratively prohibited",
    "Network unreachable for type of service",
    "Host unreachable for type of service",
    "Communication administratively prohibited",
    "Host precedence violation",
    "Precedence cutoff in effect",
};

}  // namespace

uint32_t toNetworkOrder(uint32_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        return ((value & 0xFF) << 24) | ((value & 0xFF00) << 8) | ((value >> 8) & 0xFF00) |
               (value >> 24);
    }
    return value;
}

uint32_t fromNetworkOrder(uint32_t raw) {
    return toNetworkOrder(raw);
}

uint16_t internetChecksum(const uint8_t* data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2) {
        sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    }
    if (size % 2 != 0) {
        sum += static_cast<uint32_t>(data[size - 1] << 8);
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

IcmpRequest icmpTimestampRequest(uint32_t originateMs) {
    IcmpRequest r{};
    r[0] = kIcmpTimestampRequest;
    const uint16_t id = kIcmpIdentifier;
    std::memcpy(&r[4], &id, sizeof id);
    const uint32_t originate = toNetworkOrder(originateMs);
    std::memcpy(&r[8], &originate, sizeof originate);
    const uint16_t sum = internetChecksum(r.data(), r.size());
    r[2] = static_cast<uint8_t>(sum >> 8);
    r[3] = static_cast<uint8_t>(sum & 0xFF);
    return r;
}

IcmpMessage decodeIcmpMessage(const uint8_t* data, size_t size) {
    IcmpMessage m;
    if (size < 1) {
        return m;
    }
    const size_t ipHeader = static_cast<size_t>(data[0] & 0x0F) * 4;
    if (ipHeader < 20 || size < ipHeader + 8) {
        return m;
    }
    const uint8_t* icmp = data + ipHeader;
    const size_t icmpSize = size - ipHeader;
    m.type = icmp[0];
    m.code = icmp[1];
    switch (m.type) {
        case kIcmpTimestampReply:
        case kIcmpTimestampRequest:
            if (icmpSize < kIcmpTimestampSize) {
                return m;
            }
            m.kind = m.type == kIcmpTimestampReply ? IcmpMessage::Kind::Timestamp
                                                   : IcmpMessage::Kind::Other;
            m.ours = hasOurIdentifier(icmp);
            m.originate = readRaw(icmp + 8);
            m.receive = readRaw(icmp + 12);
            m.transmit = readRaw(icmp + 16);
            return m;
        case kIcmpUnreachable: {
            m.kind = IcmpMessage::Kind::Unreachable;
            // The message quotes the IP header and the first 8 bytes of what could not pass.
            const uint8_t* quoted = icmp + 8;
            const size_t quotedSize = icmpSize - 8;
            if (quotedSize >= 1) {
                const size_t quotedHeader = static_cast<size_t>(quoted[0] & 0x0F) * 4;
                if (quotedHeader >= 20 && quotedSize >= quotedHeader + 8) {
                    const uint8_t* original = quoted + quotedHeader;
                    m.quotesOurs =
                        original[0] == kIcmpTimestampRequest && hasOurIdentifier(original);
                }
            }
            return m;
        }
        default:
            m.kind = IcmpMessage::Kind::Other;
            return m;
    }
}

std::string unreachableText(uint8_t code) {
    if (code < sizeof kUnreachable / sizeof kUnreachable[0]) {
        return kUnreachable[code];
    }
    return core::format("Destination unreachable, code %u", static_cast<unsigned>(code));
}

bool peerUsesNetworkOrder(uint32_t firstReceive, uint32_t secondReceive) {
    return secondReceive == firstReceive || secondReceive - firstReceive + 1000u > 2000u;
}

int64_t icmpOffsetMs(const IcmpSample& s, bool networkOrder) {
    const int64_t originate = fromNetworkOrder(s.originate);
    const int64_t receive = networkOrder ? fromNetworkOrder(s.receive) : s.receive;
    const int64_t transmit = networkOrder ? fromNetworkOrder(s.transmit) : s.transmit;
    const int64_t local = s.local;
    int64_t offset = ((receive - originate) + (transmit - local)) / 2;
    if (offset < 1) {
        offset = (offset - 1800000) % 3600000 + 1800000;
    } else {
        offset = (offset + 1800000) % 3600000 - 1800000;
    }
    return offset;
}

}  // namespace wire
