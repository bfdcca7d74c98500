#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "core/Handlers.h"
#include "core/TimeValue.h"
#include "platform/SimulatedClock.h"
#include "wire/NtpPacket.h"

using namespace wire;

namespace {

constexpr uint32_t kMs = 4294967;  // fraction units per millisecond
constexpr double kEra = 4294967296.0;
// 2036-02-07 06:28:16 UTC, where the seconds field of era 0 runs out.
constexpr double kEraOneUnix = kEra - core::kNtpUnixOffset;

// A synchronised server's answer: LI 0, VN 3, mode 4, stratum 2, transmit seconds set.
NtpPacket goodReply() {
    NtpPacket request = NtpPacket::request(3900000000.0);
    NtpPacket::ServerFields fields;
    fields.stratum = 2;
    fields.receiveTime = 3900000000.010;
    fields.transmitTime = 3900000000.011;
    return NtpPacket::serverReply(request, fields);
}

NtpPacket withByte(NtpPacket packet, size_t index, uint8_t value) {
    NtpPacket::Bytes bytes = packet.bytes();
    bytes[index] = value;
    return NtpPacket(bytes);
}

}  // namespace

TEST(NtpTimestamp, DecodesTheFractionOverTwoToTheThirtyTwoLessOne) {
    EXPECT_EQ(decodeTimestamp({0, 0xFFFFFFFFu}), 1.0);
    EXPECT_EQ(decodeTimestamp({0, 0}), 0.0);
    EXPECT_EQ(decodeTimestamp({0xFFFFFFFFu, 0}), 4294967295.0);
    EXPECT_DOUBLE_EQ(decodeTimestamp({10, 500 * kMs}), 10.0 + 500.0 * kMs / 4294967295.0);
}

TEST(NtpTimestamp, EncodesWholeMillisecondsOnly) {
    EXPECT_EQ(encodeTimestamp(0.9995), (NtpTimestamp{0, 999 * kMs}));
    EXPECT_EQ(encodeTimestamp(3900000000.9995), (NtpTimestamp{3900000000u, 999 * kMs}));
    EXPECT_EQ(encodeTimestamp(3900000000.0), (NtpTimestamp{3900000000u, 0}));
    EXPECT_EQ(encodeTimestamp(12.25), (NtpTimestamp{12, 250 * kMs}));
    EXPECT_EQ(encodeTimestamp(12.0004), (NtpTimestamp{12, 0}));
}

TEST(NtpTimestamp, EncodingWrapsTheSecondsAfterEraZero) {
    EXPECT_EQ(encodeTimestamp(kEra + 7.25), (NtpTimestamp{7, 250 * kMs}));
    EXPECT_EQ(encodeTimestamp(kEra - 1.0), (NtpTimestamp{0xFFFFFFFFu, 0}));
}

TEST(NtpTimestamp, EncodingOddValuesStaysDefined) {
    EXPECT_EQ(encodeTimestamp(std::numeric_limits<double>::quiet_NaN()), NtpTimestamp{});
    EXPECT_EQ(encodeTimestamp(std::numeric_limits<double>::infinity()), NtpTimestamp{});
    EXPECT_EQ(encodeTimestamp(-0.5), (NtpTimestamp{0xFFFFFFFFu, 500 * kMs}));
    EXPECT_EQ(encodeTimestamp(1e300).fraction, 0u);
}

TEST(NtpTimestamp, DecodesIntoTheEraNearestTheReference) {
    // Just after the wrap, read by a clock just before it, and the other way round.
    EXPECT_DOUBLE_EQ(decodeTimestampNear({5, 0}, kEra - 3.0), kEra + 5.0);
    EXPECT_DOUBLE_EQ(decodeTimestampNear({0xFFFFFFFEu, 0}, kEra + 3.0), kEra - 2.0);
    // Well inside an era nothing moves.
    EXPECT_DOUBLE_EQ(decodeTimestampNear({3900000000u, 0}, 3900000100.0), 3900000000.0);
    EXPECT_DOUBLE_EQ(decodeTimestampNear({100, 0}, 2 * kEra + 50.0), 2 * kEra + 100.0);
    EXPECT_DOUBLE_EQ(decodeTimestampNear({100, 0}, std::numeric_limits<double>::quiet_NaN()),
                     100.0);
}

TEST(NtpPacket, FromBytesNeedsAWholeHeader) {
    uint8_t datagram[60] = {};
    datagram[0] = 0x1C;
    datagram[47] = 0x42;
    datagram[48] = 0x99;
    EXPECT_FALSE(NtpPacket::fromBytes(datagram, 47));
    EXPECT_FALSE(NtpPacket::fromBytes(nullptr, 48));
    auto packet = NtpPacket::fromBytes(datagram, sizeof datagram);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->bytes()[0], 0x1C);
    EXPECT_EQ(packet->bytes()[47], 0x42);
}

TEST(NtpPacket, RequestCarriesTheSendTimeTwiceAndNothingElse) {
    const NtpPacket request = NtpPacket::request(3900000000.125);
    const NtpPacket::Bytes& b = request.bytes();
    EXPECT_EQ(b[0], 27);
    EXPECT_EQ(request.version(), 3);
    EXPECT_EQ(request.mode(), 3);
    EXPECT_EQ(request.timestamp(NtpPacket::kOriginate), (NtpTimestamp{3900000000u, 125 * kMs}));
    EXPECT_TRUE(request.sameStamp(NtpPacket::kOriginate, request, NtpPacket::kTransmit));
    for (size_t i = 1; i < NtpPacket::kOriginate; ++i) {
        EXPECT_EQ(b[i], 0) << "byte " << i;
    }
    for (size_t i = NtpPacket::kReceive; i < NtpPacket::kTransmit; ++i) {
        EXPECT_EQ(b[i], 0) << "byte " << i;
    }
    // Network order: 3900000000 = 0xE8754700.
    EXPECT_EQ(b[40], 0xE8);
    EXPECT_EQ(b[41], 0x75);
    EXPECT_EQ(b[42], 0x47);
    EXPECT_EQ(b[43], 0x00);
}

TEST(NtpPacket, ServerReplyKeepsTheVersionAndAnswersInModeFourOrTwo) {
    EXPECT_EQ(NtpPacket::replyByte0(0x23), 0x24);  // VN 4 client -> VN 4 server
    EXPECT_EQ(NtpPacket::replyByte0(0x1B), 0x1C);
    EXPECT_EQ(NtpPacket::replyByte0(0xE3), 0x24);  // the leap bits are not echoed
    EXPECT_EQ(NtpPacket::replyByte0(0x0B), 0x0C);  // VN 1
    for (uint8_t mode : {0, 1, 2, 6, 7}) {
        EXPECT_EQ(NtpPacket::replyByte0(static_cast<uint8_t>(0x18 | mode)), 0x1A)
            << "mode " << int(mode);
    }
    EXPECT_EQ(NtpPacket::replyByte0(0x21), 0x22);
}

TEST(NtpDatagram, OnlyWholeRequestsOfKnownVersionsAreAnswered) {
    struct Case {
        const char* what;
        uint8_t byte0;
        size_t size;
        bool stamped;
        NtpDatagram expected;
    };
    const Case cases[] = {
        {"client VN3", 0x1B, 48, true, NtpDatagram::Request},
        {"client VN4 with extension", 0x23, 68, true, NtpDatagram::Request},
        {"client VN1", 0x0B, 48, true, NtpDatagram::Request},
        {"symmetric active", 0x19, 48, true, NtpDatagram::Request},
        {"client VN0", 0x03, 48, true, NtpDatagram::Ignored},
        {"client VN5", 0x2B, 48, true, NtpDatagram::Ignored},
        {"client, short", 0x1B, 47, true, NtpDatagram::Ignored},
        {"empty", 0x00, 0, false, NtpDatagram::Ignored},
        {"mode 0", 0x18, 48, true, NtpDatagram::Ignored},
        {"symmetric passive", 0x1A, 48, true, NtpDatagram::Ignored},
        {"control", 0x1E, 48, true, NtpDatagram::Ignored},
        {"private", 0x1F, 48, true, NtpDatagram::Ignored},
        // "Sat Dec 12 10:00:00 2026\r\n" reads as a version 2 client request but is short.
        {"daytime text", 'S', 26, true, NtpDatagram::Ignored},
        {"server reply", 0x1C, 48, true, NtpDatagram::ServerReply},
        {"server reply, short", 0x1C, 40, true, NtpDatagram::Ignored},
        {"broadcast", 0x1D, 48, true, NtpDatagram::Broadcast},
        {"broadcast without transmit time", 0x1D, 48, false, NtpDatagram::Ignored},
        {"broadcast, short", 0x1D, 47, true, NtpDatagram::Ignored},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> datagram(std::max<size_t>(c.size, 1), 0);
        datagram[0] = c.byte0;
        if (c.stamped && c.size >= kNtpPacketSize) {
            datagram[NtpPacket::kTransmit + 7] = 1;
        }
        EXPECT_EQ(classifyNtpDatagram(datagram.data(), c.size), c.expected) << c.what;
    }
}

TEST(NtpPacket, ServerReplyFillsTheServerFields) {
    NtpPacket::Bytes requestBytes{};
    requestBytes[0] = 0x23;
    // A transmit stamp that is no whole millisecond must still come back byte for byte.
    const uint8_t stamp[8] = {0xE8, 0x75, 0x1D, 0x00, 0x12, 0x34, 0x56, 0x78};
    std::memcpy(&requestBytes[NtpPacket::kTransmit], stamp, 8);
    NtpPacket::ServerFields fields;
    fields.stratum = 14;
    fields.pollExponent = 12;
    fields.referenceId = core::referenceIdFromText("LOCL");
    fields.referenceTime = 3900000000.5;
    fields.receiveTime = 3900000001.25;
    fields.transmitTime = 3900000001.375;
    const NtpPacket reply = NtpPacket::serverReply(NtpPacket(requestBytes), fields);
    const NtpPacket::Bytes& b = reply.bytes();
    EXPECT_EQ(b[0], 0x24);
    EXPECT_EQ(b[1], 14);
    EXPECT_EQ(b[2], 12);
    EXPECT_EQ(b[3], 0xF8);
    EXPECT_EQ(reply.precision(), -8);
    for (size_t i = 4; i < 12; ++i) {
        EXPECT_EQ(b[i], 0) << "root delay and dispersion are zero, byte " << i;
    }
    EXPECT_EQ(reply.referenceId(), core::referenceIdFromText("LOCL"));
    EXPECT_EQ(0, std::memcmp(&b[NtpPacket::kOriginate], stamp, 8));
    EXPECT_EQ(reply.timestamp(NtpPacket::kReferenceTime), (NtpTimestamp{3900000000u, 500 * kMs}));
    EXPECT_EQ(reply.timestamp(NtpPacket::kReceive), (NtpTimestamp{3900000001u, 250 * kMs}));
    EXPECT_EQ(reply.timestamp(NtpPacket::kTransmit), (NtpTimestamp{3900000001u, 375 * kMs}));
}

TEST(NtpPacket, BroadcastIsModeFiveWithoutOriginateOrReceive) {
    const NtpPacket packet =
        NtpPacket::broadcast(3, 6, core::referenceIdFromText("GPS"), 3900000000.0, 3900000064.5);
    const NtpPacket::Bytes& b = packet.bytes();
    EXPECT_EQ(b[0], 29);
    EXPECT_EQ(packet.mode(), 5);
    EXPECT_EQ(b[1], 3);
    EXPECT_EQ(b[2], 6);
    EXPECT_EQ(b[3], 0);
    EXPECT_EQ(packet.referenceId(), core::referenceIdFromText("GPS"));
    EXPECT_EQ(packet.timestamp(NtpPacket::kOriginate), NtpTimestamp{});
    EXPECT_EQ(packet.timestamp(NtpPacket::kReceive), NtpTimestamp{});
    EXPECT_EQ(packet.timestamp(NtpPacket::kTransmit), (NtpTimestamp{3900000064u, 500 * kMs}));
    EXPECT_NEAR(packet.broadcastOffset(3900000060.0), 4.5, 1e-6);
}

TEST(NtpPacket, AcceptanceRefusesUnsynchronisedServersOnlyWhenAsked) {
    const NtpPacket good = goodReply();
    EXPECT_TRUE(good.passesAcceptance());
    EXPECT_TRUE(good.usable(true));

    NtpPacket::Bytes zeroSeconds = good.bytes();
    std::memset(&zeroSeconds[NtpPacket::kTransmit], 0, 4);  // the fraction stays set
    const struct {
        const char* what;
        NtpPacket packet;
    } refused[] = {
        {"leap indicator 3", withByte(good, 0, 0xDC)},
        {"stratum 0", withByte(good, 1, 0)},
        {"stratum 16", withByte(good, 1, 16)},
        {"stratum 255", withByte(good, 1, 255)},
        {"zero transmit seconds", NtpPacket(zeroSeconds)},
    };
    for (const auto& c : refused) {
        EXPECT_FALSE(c.packet.passesAcceptance()) << c.what;
        EXPECT_FALSE(c.packet.usable(true)) << c.what;
        EXPECT_TRUE(c.packet.usable(false)) << c.what;
    }
    for (uint8_t stratum : {1, 15}) {
        EXPECT_TRUE(withByte(good, 1, stratum).passesAcceptance()) << int(stratum);
    }
    EXPECT_TRUE(withByte(good, 0, 0x9C).passesAcceptance());  // leap indicator 2 is fine
}

TEST(NtpPacket, DiagnosticLineShowsTheHeaderBytes) {
    NtpPacket::Bytes b{};
    b[0] = 0x1C;
    b[1] = 2;
    b[2] = 6;
    b[3] = 0xEC;
    EXPECT_EQ(NtpPacket(b).diagnosticLine(), "Ver: 3 Stratum: 2 Mode: 4 Poll: 6 Precision -20");
    b[0] = 0xE5;
    b[1] = 200;
    b[2] = 255;
    b[3] = 0x7F;
    EXPECT_EQ(NtpPacket(b).diagnosticLine(), "Ver: 4 Stratum: 200 Mode: 5 Poll: 255 Precision 127");
}

TEST(NtpPacket, ClientOffsetAveragesTheTwoLegs) {
    // The server is 10 s ahead; 125 ms each way (binary fractions keep the milliseconds exact).
    const double t1 = 3900000000.0;
    const NtpPacket request = NtpPacket::request(t1);
    NtpPacket::ServerFields fields;
    fields.stratum = 2;
    fields.receiveTime = t1 + 0.125 + 10.0;
    fields.transmitTime = t1 + 0.25 + 10.0;
    const NtpPacket reply = NtpPacket::serverReply(request, fields);
    EXPECT_NEAR(reply.clientOffset(t1 + 0.375), 10.0, 1e-6);
    // A local clock ahead of the server gives a negative offset.
    fields.receiveTime = t1 + 0.125 - 30.0;
    fields.transmitTime = t1 + 0.125 - 30.0;
    EXPECT_NEAR(NtpPacket::serverReply(request, fields).clientOffset(t1 + 0.25), -30.0, 1e-6);
}

// Both sides read simulated clocks that straddle 2036-02-07 06:28:16 UTC.
class EraWrap : public ::testing::TestWithParam<std::pair<double, double>> {};

TEST_P(EraWrap, OffsetsStayRightAcrossTheEnd) {
    const auto [clientOffset, serverOffset] = GetParam();
    double trueUnix = kEraOneUnix - 0.5;
    const platform::TrueTimeSource source = [&trueUnix] { return trueUnix; };
    platform::SimulatedClock client(clientOffset, 0, source);
    platform::SimulatedClock server(serverOffset, 0, source);

    const NtpPacket request = NtpPacket::request(core::timeValueNow(client));
    trueUnix += 0.02;
    NtpPacket::ServerFields fields;
    fields.stratum = 1;
    fields.receiveTime = core::timeValueNow(server);
    trueUnix += 0.001;
    fields.transmitTime = core::timeValueNow(server);
    const NtpPacket reply = NtpPacket::serverReply(request, fields);
    trueUnix += 0.02;
    const double now = core::timeValueNow(client);

    // The two sides really are in different eras.
    const bool serverAfter = serverOffset > clientOffset;
    EXPECT_EQ(reply.timestamp(NtpPacket::kTransmit).seconds < 100u, serverAfter);
    EXPECT_EQ(reply.timestamp(NtpPacket::kOriginate).seconds < 100u, !serverAfter);

    EXPECT_NEAR(reply.clientOffset(now), serverOffset - clientOffset, 0.002);
    const NtpPacket bcast = NtpPacket::broadcast(1, 6, {}, 0, fields.transmitTime);
    EXPECT_NEAR(bcast.broadcastOffset(now), serverOffset - clientOffset, 0.05);
}

INSTANTIATE_TEST_SUITE_P(NtpPacket, EraWrap,
                         ::testing::Values(std::make_pair(-3.0,
                                                          2.0),  // client before, server after
                                           std::make_pair(2.0, -3.0),  // and the other way round
                                           std::make_pair(-1.0, 4.5), std::make_pair(4.5, -1.0)));
