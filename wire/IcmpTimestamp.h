#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace wire {

// ICMP Timestamp messages (type 13 request, type 14 reply): milliseconds since midnight UTC.
inline constexpr size_t kIcmpTimestampSize = 20;
inline constexpr uint8_t kIcmpEchoReply = 0;
inline constexpr uint8_t kIcmpUnreachable = 3;
inline constexpr uint8_t kIcmpTimestampRequest = 13;
inline constexpr uint8_t kIcmpTimestampReply = 14;
inline constexpr uint16_t kIcmpIdentifier = 12345;
inline constexpr uint32_t kMillisecondsPerDay = 86400000;

using IcmpRequest = std::array<uint8_t, kIcmpTimestampSize>;

// The Internet checksum (RFC 1071) of `size` bytes.
uint16_t internetChecksum(const uint8_t* data, size_t size);

// A request with `originateMs` in network order; the identifier is written in this host's
// byte order, as senders of these requests do.
IcmpRequest icmpTimestampRequest(uint32_t originateMs);

// One datagram read from a raw ICMP socket (IP header included).
struct IcmpMessage {
    enum class Kind {
        Truncated,    // too short for its IP header and the ICMP fields it needs
        Timestamp,    // a timestamp reply: the three stamps as they arrived (host's reading)
        Unreachable,  // destination unreachable: `code`, `quotesOurs` when it is about our request
        Other,        // any other type, `type`
    };
    Kind kind = Kind::Truncated;
    uint8_t type = 0;
    uint8_t code = 0;
    bool ours = false;        // a timestamp message (request or reply) with our identifier
    bool quotesOurs = false;  // an unreachable that quotes a timestamp request of ours
    uint32_t originate = 0;   // raw: read from the wire without any byte-order conversion
    uint32_t receive = 0;
    uint32_t transmit = 0;
};

IcmpMessage decodeIcmpMessage(const uint8_t* data, size_t size);

// The destination-unreachable text for a code.
std::string unreachableText(uint8_t code);

// One exchange: the reply's stamps as they arrived and the local time it was read.
struct IcmpSample {
    uint32_t originate = 0;  // raw, always network order
    uint32_t receive = 0;    // raw, in the peer's byte order
    uint32_t transmit = 0;   // raw
    uint32_t local = 0;      // milliseconds since midnight, host value
};

// Whether the peer wrote its stamps in network order, judged from two receive stamps taken
// about 100 ms apart: in the peer's own order they differ by well under a second.
bool peerUsesNetworkOrder(uint32_t firstReceive, uint32_t secondReceive);

// The offset in milliseconds, positive when the peer is ahead, folded into -30..+30 minutes.
int64_t icmpOffsetMs(const IcmpSample& sample, bool networkOrder);

uint32_t fromNetworkOrder(uint32_t raw);
uint32_t toNetworkOrder(uint32_t value);

}  // namespace wire
