// tshark, an independent decoder, reads our SNTP answer and our NTP broadcast off the wire: a
// capture on loopback (the test runs in a network namespace of its own) while the SNTP server
// answers a request and the broadcast server sends its first round.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ServerTestSupport.h"
#include "core/TimeValue.h"
#include "platform/ChildProcess.h"
#include "platform/Seams.h"
#include "platform/Socket.h"
#include "servers/CNTPBcastServer.h"
#include "servers/CSNTPServer.h"
#include "support/Loopback.h"
#include "support/RecordingMessages.h"
#include "wire/NtpPacket.h"

using platform::Millis;
using testsupport::RecordingTime;
using wire::NtpPacket;

namespace {

constexpr const char* kDumpcap = "/usr/bin/dumpcap";
constexpr const char* kTshark = "/usr/bin/tshark";

// tshark's absolute time, "Mar  3, 2025 14:13:20.124999991 UTC", as a time value (seconds since
// 1900); -1 when it is not one ("NULL" for a zero timestamp).
double timeValueOf(const std::string& text) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char month[4] = {};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    char fraction[16] = {};
    if (std::sscanf(text.c_str(), "%3s %d, %d %d:%d:%d.%15[0-9] UTC", month, &day, &year, &hour,
                    &minute, &second, fraction) != 7) {
        return -1;
    }
    for (int m = 0; m < 12; ++m) {
        if (std::strcmp(month, kMonths[m]) == 0) {
            const double days = static_cast<double>(core::daysSinceUnixEpoch(year, m + 1, day));
            return core::kNtpUnixOffset + days * 86400 + hour * 3600 + minute * 60 + second +
                   std::stod(std::string("0.") + fraction);
        }
    }
    return -1;
}

// One decoded datagram: each field asked for, by name.
using Decoded = std::map<std::string, std::string>;

const std::vector<std::string> kFields = {
    "ip.src",       "ip.dst",         "udp.srcport", "udp.dstport", "ntp.flags.li",
    "ntp.flags.vn", "ntp.flags.mode", "ntp.stratum", "ntp.ppoll",   "ntp.precision",
    "ntp.refid",    "ntp.reftime",    "ntp.org",     "ntp.rec",     "ntp.xmt"};

std::vector<Decoded> decode(const std::string& capture) {
    std::vector<std::string> arguments = {"-r", capture, "-Y", "udp.port == 123", "-T", "fields"};
    for (const std::string& f : kFields) {
        arguments.push_back("-e");
        arguments.push_back(f);
    }
    platform::ChildProcess tshark;
    EXPECT_TRUE(tshark.start(kTshark, arguments).ok());
    int code = -1;
    EXPECT_TRUE(tshark.wait(Millis(30000), code));
    EXPECT_EQ(code, 0) << tshark.errors();
    std::vector<Decoded> packets;
    std::istringstream lines(tshark.output());
    for (std::string line; std::getline(lines, line);) {
        Decoded d;
        std::istringstream values(line);
        std::string value;
        for (size_t i = 0; i < kFields.size() && std::getline(values, value, '\t'); ++i) {
            d[kFields[i]] = value;
        }
        packets.push_back(std::move(d));
    }
    return packets;
}

// The last packet count dumpcap reported on its error stream ("Packets: N"), or -1.
long reportedCount(const std::string& errors) {
    const size_t at = errors.rfind("Packets: ");
    return at == std::string::npos ? -1 : std::strtol(errors.c_str() + at + 9, nullptr, 10);
}

// The precision byte, whether tshark shows it signed or as the raw byte.
int signedByte(const std::string& text) {
    return static_cast<int8_t>(static_cast<uint8_t>(std::stoi(text) & 0xFF));
}

TEST(WireDecoding, TsharkReadsOurAnswerAndBroadcastAsNtpWithOurFields) {
    if (!std::filesystem::exists(kDumpcap) || !std::filesystem::exists(kTshark)) {
        GTEST_SKIP() << "tshark is not installed";
    }
    platform::setServiceOverrides("");
    testsupport::RecordingMessages messages;
    RecordingTime time{platform::processClock()};
    // Far from this machine's time, so only the engine's clock can have stamped the answers.
    time.offset_.store(-400.0 * 86400);
    time.setReferenceId(core::referenceIdFromAddress(*platform::parseDottedIPv4("10.1.2.3")));
    servers::CSNTPServer server(messages, time, 3);
    server.start();

    const std::string capture = testing::TempDir() + "kronel-ntp-wire-" +
                                std::to_string(std::random_device{}()) + ".pcapng";
    std::filesystem::remove(capture);
    // dumpcap says "Capturing on" before its capture is live, so probes to the discard port show
    // when it is; it reports its count every half second. Bounded in time should a packet
    // never come.
    platform::ChildProcess dumpcap;
    ASSERT_TRUE(dumpcap
                    .start(kDumpcap, {"-i", "lo", "-f", "udp port 123 or udp port 9", "-w", capture,
                                      "-a", "duration:30"})
                    .ok());
    platform::Socket prober = testsupport::boundUdp();
    const uint8_t probe[1] = {0};
    for (int i = 0; i < 200 && reportedCount(dumpcap.errors()) < 1 && dumpcap.running(); ++i) {
        ASSERT_TRUE(prober.sendTo(probe, sizeof probe, testsupport::loopback(9)).ok());
        std::this_thread::sleep_for(Millis(50));
    }
    ASSERT_GE(reportedCount(dumpcap.errors()), 1) << dumpcap.errors();
    // The probes' count once it no longer moves: the three packets below come on top of it.
    long probes = reportedCount(dumpcap.errors());
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(Millis(700));
        const long now = reportedCount(dumpcap.errors());
        if (now == probes) {
            break;
        }
        probes = now;
    }

    // A version-4 client request whose transmit timestamp must come back as originate.
    uint8_t request[48] = {0x23};
    const uint8_t sent[8] = {0xE8, 0x1A, 0x2B, 0x3C, 0x40, 0x00, 0x00, 0x00};
    std::memcpy(request + NtpPacket::kTransmit, sent, 8);
    platform::Socket client = testsupport::boundUdp();
    const double before = time.now();
    ASSERT_TRUE(client.sendTo(request, sizeof request, testsupport::loopback(123)).ok());
    uint8_t answer[64];
    ASSERT_TRUE(client.receiveFrom(answer, sizeof answer, nullptr, servertest::kPatience).ok());
    {
        servers::CNTPBcastServer broadcaster(messages, time, 64, 4, "255.255.255.255", 31);
        broadcaster.start();  // synchronised: the first round goes at once
        for (int i = 0; i < 300 && reportedCount(dumpcap.errors()) < probes + 3; ++i) {
            std::this_thread::sleep_for(Millis(50));
        }
        ASSERT_TRUE(dumpcap.signal(platform::ChildProcess::Signal::Interrupt).ok());
        int code = -1;
        ASSERT_TRUE(dumpcap.wait(Millis(15000), code));
        EXPECT_EQ(code, 0) << dumpcap.errors();
    }
    const double after = time.now();

    const std::vector<Decoded> packets = decode(capture);
    std::filesystem::remove(capture);
    ASSERT_EQ(packets.size(), 3u);
    const std::string clientPort = std::to_string(client.localEndpoint().port);
    const Decoded* reply = nullptr;
    const Decoded* broadcast = nullptr;
    for (const Decoded& p : packets) {
        if (p.at("udp.srcport") == "123" && p.at("udp.dstport") == clientPort) {
            reply = &p;
        } else if (p.at("ip.dst") == "255.255.255.255") {
            broadcast = &p;
        }
    }
    ASSERT_NE(reply, nullptr);
    ASSERT_NE(broadcast, nullptr);
    const double origin = wire::decodeTimestamp({0xE81A2B3Cu, 0x40000000u});

    // The answer: mode 4 keeping the request's version, our stratum, the engine's poll and
    // reference, precision -8, the request's transmit time as originate.
    EXPECT_EQ(reply->at("ntp.flags.li"), "0");
    EXPECT_EQ(reply->at("ntp.flags.vn"), "4");
    EXPECT_EQ(reply->at("ntp.flags.mode"), "4");
    EXPECT_EQ(reply->at("ntp.stratum"), "3");
    EXPECT_EQ(reply->at("ntp.ppoll"), "6");
    EXPECT_EQ(signedByte(reply->at("ntp.precision")), -8);
    EXPECT_EQ(reply->at("ntp.refid"), "0a010203");
    EXPECT_NEAR(timeValueOf(reply->at("ntp.org")), origin, 1e-6) << reply->at("ntp.org");
    const double received = timeValueOf(reply->at("ntp.rec"));
    const double transmitted = timeValueOf(reply->at("ntp.xmt"));
    // Millisecond resolution: stamps may read up to 1 ms before the instant they were taken.
    EXPECT_GE(received, before - 0.001) << reply->at("ntp.rec");
    EXPECT_LE(received, transmitted) << reply->at("ntp.rec") << " / " << reply->at("ntp.xmt");
    EXPECT_LE(transmitted, after) << reply->at("ntp.xmt");
    EXPECT_NEAR(timeValueOf(reply->at("ntp.reftime")), transmitted, 0.001);

    // The broadcast: LI 0, VN 3, mode 5, the broadcaster's stratum, precision 0, no originate
    // or receive time, and the engine's time.
    EXPECT_EQ(broadcast->at("udp.dstport"), "123");
    EXPECT_EQ(broadcast->at("ntp.flags.li"), "0");
    EXPECT_EQ(broadcast->at("ntp.flags.vn"), "3");
    EXPECT_EQ(broadcast->at("ntp.flags.mode"), "5");
    EXPECT_EQ(broadcast->at("ntp.stratum"), "4");
    EXPECT_EQ(broadcast->at("ntp.ppoll"), "6");
    EXPECT_EQ(signedByte(broadcast->at("ntp.precision")), 0);
    EXPECT_EQ(broadcast->at("ntp.refid"), "0a010203");
    EXPECT_EQ(timeValueOf(broadcast->at("ntp.org")), -1) << broadcast->at("ntp.org");
    EXPECT_EQ(timeValueOf(broadcast->at("ntp.rec")), -1) << broadcast->at("ntp.rec");
    const double broadcastTime = timeValueOf(broadcast->at("ntp.xmt"));
    EXPECT_GE(broadcastTime, transmitted) << broadcast->at("ntp.xmt");
    EXPECT_LE(broadcastTime, after) << broadcast->at("ntp.xmt");
    EXPECT_NEAR(timeValueOf(broadcast->at("ntp.reftime")), broadcastTime, 0.001);
}

}  // namespace
