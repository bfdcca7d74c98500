#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "wire/IcmpTimestamp.h"

using namespace wire;

namespace {

// An IPv4 header of `words` 32-bit words followed by `icmp`.
std::vector<uint8_t> datagram(const std::vector<uint8_t>& icmp, int words = 5) {
    std::vector<uint8_t> d(static_cast<size_t>(words) * 4, 0);
    d[0] = static_cast<uint8_t>(0x40 | words);
    d[9] = 1;
    d.insert(d.end(), icmp.begin(), icmp.end());
    return d;
}

// A timestamp reply to `request` with receive and transmit as written into the reply.
std::vector<uint8_t> reply(const IcmpRequest& request, uint32_t receiveRaw, uint32_t transmitRaw) {
    std::vector<uint8_t> icmp(request.begin(), request.end());
    icmp[0] = kIcmpTimestampReply;
    std::memcpy(&icmp[12], &receiveRaw, 4);
    std::memcpy(&icmp[16], &transmitRaw, 4);
    return icmp;
}

}  // namespace

TEST(IcmpTimestamp, BuildsARequestWithAValidChecksum) {
    const IcmpRequest r = icmpTimestampRequest(12345678);
    EXPECT_EQ(r[0], 13);
    EXPECT_EQ(r[1], 0);
    EXPECT_EQ(internetChecksum(r.data(), r.size()), 0) << "a correct checksum sums to zero";
    uint16_t id = 0;
    std::memcpy(&id, &r[4], 2);
    EXPECT_EQ(id, kIcmpIdentifier);  // in this host's own order
    EXPECT_EQ(r[6], 0);
    EXPECT_EQ(r[7], 0);
    EXPECT_EQ((std::vector<uint8_t>(r.begin() + 8, r.begin() + 12)),
              (std::vector<uint8_t>{0x00, 0xBC, 0x61, 0x4E}));
    for (size_t i = 12; i < r.size(); ++i) {
        EXPECT_EQ(r[i], 0);
    }
    // RFC 1071's example: 00 01 f2 03 f4 f5 f6 f7 sums to ddf2.
    const uint8_t example[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(internetChecksum(example, sizeof example), static_cast<uint16_t>(~0xddf2));
    const uint8_t odd[] = {0x01};
    EXPECT_EQ(internetChecksum(odd, 1), static_cast<uint16_t>(~0x0100));
}

TEST(IcmpTimestamp, DecodesRepliesAndTellsOtherMessagesApart) {
    const IcmpRequest request = icmpTimestampRequest(1000);
    const uint32_t receive = toNetworkOrder(1100);
    const uint32_t transmit = toNetworkOrder(1101);

    for (int words : {5, 7}) {  // with and without IP options
        const auto d = datagram(reply(request, receive, transmit), words);
        const IcmpMessage m = decodeIcmpMessage(d.data(), d.size());
        EXPECT_EQ(m.kind, IcmpMessage::Kind::Timestamp);
        EXPECT_TRUE(m.ours);
        EXPECT_EQ(fromNetworkOrder(m.originate), 1000u);
        EXPECT_EQ(m.receive, receive);
        EXPECT_EQ(m.transmit, transmit);
    }

    auto foreign = reply(request, receive, transmit);
    foreign[4] ^= 0xFF;
    auto d = datagram(foreign);
    EXPECT_FALSE(decodeIcmpMessage(d.data(), d.size()).ours);

    // Our own request, seen on the loopback interface.
    d = datagram(std::vector<uint8_t>(request.begin(), request.end()));
    IcmpMessage m = decodeIcmpMessage(d.data(), d.size());
    EXPECT_EQ(m.kind, IcmpMessage::Kind::Other);
    EXPECT_EQ(m.type, kIcmpTimestampRequest);

    // An echo reply is some other message.
    d = datagram({0, 0, 0, 0, 0, 1, 0, 1});
    m = decodeIcmpMessage(d.data(), d.size());
    EXPECT_EQ(m.kind, IcmpMessage::Kind::Other);
    EXPECT_EQ(m.type, kIcmpEchoReply);

    // Unreachable, quoting our request (IP header and its first 8 bytes) or something else.
    std::vector<uint8_t> unreachable = {3, 1, 0, 0, 0, 0, 0, 0};
    const auto quoted = datagram(std::vector<uint8_t>(request.begin(), request.begin() + 8));
    unreachable.insert(unreachable.end(), quoted.begin(), quoted.end());
    d = datagram(unreachable);
    m = decodeIcmpMessage(d.data(), d.size());
    EXPECT_EQ(m.kind, IcmpMessage::Kind::Unreachable);
    EXPECT_EQ(m.code, 1);
    EXPECT_TRUE(m.quotesOurs);
    d = datagram({3, 3, 0, 0, 0, 0, 0, 0});
    m = decodeIcmpMessage(d.data(), d.size());
    EXPECT_EQ(m.kind, IcmpMessage::Kind::Unreachable);
    EXPECT_FALSE(m.quotesOurs);
    EXPECT_EQ(unreachableText(1), "Host unreachable");
    EXPECT_EQ(unreachableText(200), "Destination unreachable, code 200");

    // Too short for what the header promises.
    const auto full = datagram(reply(request, receive, transmit));
    for (size_t size : {size_t{0}, size_t{1}, size_t{20}, size_t{27}, size_t{39}}) {
        EXPECT_EQ(decodeIcmpMessage(full.data(), size).kind, IcmpMessage::Kind::Truncated) << size;
    }
    uint8_t badHeader[40] = {0x42};  // header length of 8 bytes
    EXPECT_EQ(decodeIcmpMessage(badHeader, sizeof badHeader).kind, IcmpMessage::Kind::Truncated);
}

TEST(IcmpTimestamp, DecidesThePeersByteOrderFromTwoSamples) {
    // A little-endian peer on a little-endian host reads as plain numbers 100 ms apart.
    EXPECT_FALSE(peerUsesNetworkOrder(5000000, 5000100));
    EXPECT_FALSE(peerUsesNetworkOrder(5000100, 5000000));
    EXPECT_FALSE(peerUsesNetworkOrder(5000000, 5000999));
    // The same peer in network order: the low bytes moved into the high ones.
    EXPECT_TRUE(peerUsesNetworkOrder(toNetworkOrder(5000000), toNetworkOrder(5000100)));
    EXPECT_TRUE(peerUsesNetworkOrder(7, 7));  // equal stamps say nothing: network order
    EXPECT_TRUE(peerUsesNetworkOrder(5000000, 5001001));
    EXPECT_TRUE(peerUsesNetworkOrder(5001001, 5000000));
}

TEST(IcmpTimestamp, ComputesTheOffsetWithinTheHour) {
    const uint32_t originate = 36000000;  // 10:00:00.000 local, when asked
    const struct {
        int64_t peerAheadMs;
        int64_t offset;
    } cases[] = {
        {0, 0},
        {2500, 2500},
        {-2500, -2500},
        {59 * 60000, -60000},  // 59 minutes ahead folds to a minute behind
        {-59 * 60000, 60000},
        {3 * 3600000 + 1500, 1500},  // another time zone by whole hours
        {-(3 * 3600000 + 1500), -1500},
    };
    for (const auto& c : cases) {
        for (bool networkOrder : {true, false}) {
            const auto peer = [&](uint32_t ms) { return networkOrder ? toNetworkOrder(ms) : ms; };
            const uint32_t at = static_cast<uint32_t>(originate + 20 + c.peerAheadMs);
            IcmpSample s{toNetworkOrder(originate), peer(at), peer(at), originate + 40};
            EXPECT_EQ(icmpOffsetMs(s, networkOrder), c.offset)
                << c.peerAheadMs << (networkOrder ? " network" : " little-endian");
        }
    }
}
