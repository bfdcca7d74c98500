#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>

#include "ServerTestSupport.h"
#include "netclients/CSNTPClient.h"
#include "platform/ChildProcess.h"
#include "platform/Seams.h"
#include "platform/Socket.h"
#include "servers/CSNTPServer.h"
#include "support/Loopback.h"
#include "support/RecordingMessages.h"
#include "wire/NtpPacket.h"

using core::MessageLevel;
using platform::Millis;
using servers::CSNTPServer;
using testsupport::loopback;
using testsupport::RecordingTime;
using wire::NtpPacket;

namespace {

uint32_t ip(const char* text) {
    return *platform::parseDottedIPv4(text);
}

// Gives loopback another address, so a datagram can come from a "host" that is not this one.
void addLoopbackAddress(const char* address) {
    platform::ChildProcess ip;
    ASSERT_TRUE(
        ip.start("/usr/sbin/ip", {"addr", "add", std::string(address) + "/32", "dev", "lo"}).ok());
    int code = -1;
    ASSERT_TRUE(ip.wait(Millis(5000), code));
    // A second test adding it again is fine.
    ASSERT_TRUE(code == 0 || ip.errors().find("File exists") != std::string::npos) << ip.errors();
}

platform::Socket udpFrom(const char* address, uint16_t port = 0) {
    platform::Socket s;
    EXPECT_TRUE(s.open(platform::Socket::Type::Udp).ok());
    EXPECT_TRUE(s.setReuseAddress(true).ok());
    EXPECT_TRUE(s.bind({ip(address), port}).ok());
    return s;
}

std::optional<NtpPacket> exchange(platform::Socket& s, const void* data, size_t size,
                                  Millis wait = Millis(3000)) {
    if (!s.sendTo(data, size, loopback(123)).ok()) {
        return std::nullopt;
    }
    uint8_t buffer[64];
    platform::Endpoint from;
    const platform::IoResult got = s.receiveFrom(buffer, sizeof buffer, &from, wait);
    if (!got.ok()) {
        return std::nullopt;
    }
    return NtpPacket::fromBytes(buffer, static_cast<size_t>(got.count));
}

std::string run(const std::string& program, const std::vector<std::string>& arguments, int& code) {
    platform::ChildProcess child;
    EXPECT_TRUE(child.start(program, arguments).ok()) << program;
    EXPECT_TRUE(child.wait(Millis(30000), code)) << program << " did not end";
    return child.output() + child.errors();
}

class SNTPServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setServiceOverrides("");
        server_ = std::make_unique<CSNTPServer>(messages_, time_, 5);
        server_->start();
        ASSERT_TRUE(messages_.has(MessageLevel::Debug, "started"));
    }
    testsupport::RecordingMessages messages_;
    RecordingTime time_{platform::processClock()};
    std::unique_ptr<CSNTPServer> server_;
};

TEST_F(SNTPServerTest, NtpdigAcceptsOurAnswerWithOurStratumAndOffset) {
    time_.offset_.store(3.0);
    int code = -1;
    const std::string out = run("/usr/bin/ntpdig", {"-j", "-t", "3", "127.0.0.1"}, code);
    ASSERT_EQ(code, 0) << out;
    EXPECT_NE(out.find("\"stratum\":5"), std::string::npos) << out;
    const size_t at = out.find("\"offset\":");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_NEAR(std::stod(out.substr(at + 9)), 3.0, 0.1) << out;
}

TEST_F(SNTPServerTest, ChronydQueriesUsAsItsOnlySource) {
    time_.offset_.store(-7.0);  // chronyd finds its own clock 7 s ahead of ours
    const std::string conf = testing::TempDir() + "kronel-chrony-q.conf";
    {
        FILE* f = std::fopen(conf.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fprintf(f, "server 127.0.0.1 iburst maxsamples 1\ncmdport 0\npidfile %s.pid\n",
                     conf.c_str());
        std::fclose(f);
    }
    int code = -1;
    // -Q measures and prints the offset; it never sets a clock.
    const std::string out =
        run("/usr/sbin/chronyd", {"-Q", "-d", "-u", "root", "-f", conf, "-t", "20"}, code);
    ASSERT_EQ(code, 0) << out;
    const size_t at = out.find("System clock wrong by ");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_NEAR(std::stod(out.substr(at + 22)), -7.0, 0.1) << out;
}

TEST_F(SNTPServerTest, AnswersEachModeKeepingTheVersion) {
    struct Case {
        uint8_t byte0;
        size_t size;
        uint8_t answer0;
    } cases[] = {
        {0x1B, 48, 0x1C},  // VN 3 client -> server
        {0x23, 48, 0x24},  // VN 4 client -> server, version kept
        {0x23, 68, 0x24},  // extension fields: read from the first 48 bytes
        {0x11, 48, 0x12},  // VN 2 symmetric active -> symmetric passive
        {0x0B, 48, 0x0C},  // VN 1 client -> server
    };
    platform::Socket s = testsupport::boundUdp();
    for (const Case& c : cases) {
        uint8_t request[68] = {};
        request[0] = c.byte0;
        for (int i = 0; i < 8; ++i) {
            request[40 + i] = static_cast<uint8_t>(0xA0 + i);
        }
        const double before = time_.now();
        const std::optional<NtpPacket> answer = exchange(s, request, c.size);
        ASSERT_TRUE(answer) << int(c.byte0);
        EXPECT_EQ(answer->bytes()[0], c.answer0);
        EXPECT_EQ(answer->stratum(), 5);
        EXPECT_EQ(answer->poll(), 6);
        EXPECT_EQ(answer->precision(), -8);
        EXPECT_EQ(std::memcmp(answer->referenceId().data(), "LOCL", 4), 0);
        EXPECT_EQ(std::memcmp(answer->data() + 24, request + 40, 8), 0) << "originate copied";
        const double received = wire::decodeTimestamp(answer->timestamp(NtpPacket::kReceive));
        EXPECT_NEAR(received, before, 1.0);
        EXPECT_GE(wire::decodeTimestamp(answer->timestamp(NtpPacket::kTransmit)), received - 0.002);
    }
}

// Requests queued together are answered together: each answer still carries its own
// request's transmit timestamp and the engine's time.
TEST_F(SNTPServerTest, AnswersABurstEachWithItsOwnOriginate) {
    time_.fixed_.store(3'900'000'000.25);
    const wire::NtpTimestamp stamp = wire::encodeTimestamp(time_.fixed_.load());
    constexpr int kBurst = 64;  // within both sockets' receive buffers
    platform::Socket s = testsupport::boundUdp();
    for (int i = 0; i < kBurst; ++i) {
        uint8_t request[48] = {0x23};
        request[44] = static_cast<uint8_t>(i >> 8);
        request[45] = static_cast<uint8_t>(i);
        ASSERT_TRUE(s.sendTo(request, sizeof request, loopback(123)).ok());
    }
    std::vector<bool> seen(kBurst, false);
    for (int got = 0; got < kBurst; ++got) {
        uint8_t buffer[64];
        const platform::IoResult r = s.receiveFrom(buffer, sizeof buffer, nullptr, Millis(3000));
        ASSERT_TRUE(r.ok()) << got << " answers of " << kBurst;
        ASSERT_EQ(r.count, 48);
        const NtpPacket answer = *NtpPacket::fromBytes(buffer, 48);
        EXPECT_EQ(answer.bytes()[0], 0x24);
        const int i = buffer[28] << 8 | buffer[29];
        ASSERT_LT(i, kBurst);
        EXPECT_FALSE(seen[static_cast<size_t>(i)]) << "answered twice: " << i;
        seen[static_cast<size_t>(i)] = true;
        EXPECT_EQ(answer.timestamp(NtpPacket::kReceive), stamp);
        EXPECT_EQ(answer.timestamp(NtpPacket::kTransmit), stamp);
        EXPECT_EQ(answer.timestamp(NtpPacket::kReferenceTime), stamp);
    }
}

TEST_F(SNTPServerTest, StaysSilentWhileUnsynchronisedButLogsTheRequest) {
    time_.synchronised_.store(false);
    platform::Socket s = testsupport::boundUdp();
    const NtpPacket request = NtpPacket::request(time_.now());
    EXPECT_FALSE(exchange(s, request.data(), 48, Millis(500)));
    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "Time request received from 127.0.0.1"));
}

TEST_F(SNTPServerTest, FilesAnswersAndOtherHostsBroadcastsButNotItsOwn) {
    addLoopbackAddress("10.77.0.9");
    uint8_t answer[48] = {0x1C, 2};
    answer[47] = 0x5A;
    platform::Socket peer = testsupport::boundUdp();
    EXPECT_FALSE(exchange(peer, answer, 48, Millis(300))) << "an answer is not answered";
    ASSERT_TRUE(server_->replyEvent().wait(servertest::kPatience));
    EXPECT_EQ(server_->lastReply().bytes[47], 0x5A);
    EXPECT_EQ(server_->lastReply().sender.port, peer.localEndpoint().port);

    uint8_t broadcast[48] = {29, 3};
    broadcast[40] = 0xED;  // a transmit time: one without is dropped
    // From loopback: this host's own broadcast, never filed.
    EXPECT_FALSE(exchange(peer, broadcast, 48, Millis(300)));
    EXPECT_FALSE(server_->broadcastEvent().isSet());
    // From another address: filed with its sender.
    platform::Socket other = udpFrom("10.77.0.9");
    EXPECT_FALSE(exchange(other, broadcast, 48, Millis(300)));
    ASSERT_TRUE(server_->broadcastEvent().wait(servertest::kPatience));
    EXPECT_EQ(server_->lastBroadcast().sender.address, ip("10.77.0.9"));
    EXPECT_EQ(server_->lastBroadcast().bytes[1], 3);
    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "Time broadcast received from 10.77.0.9"));
}

// A client that goes before its answer arrives makes the answer bounce; the server goes on.
TEST_F(SNTPServerTest, AnswersOnAfterAClientWentAway) {
    for (int i = 0; i < 3; ++i) {
        platform::Socket gone = testsupport::boundUdp();
        const NtpPacket request = NtpPacket::request(time_.now());
        ASSERT_TRUE(gone.sendTo(request.data(), 48, loopback(123)).ok());
    }
    std::this_thread::sleep_for(Millis(100));
    platform::Socket s = testsupport::boundUdp();
    const NtpPacket request = NtpPacket::request(time_.now());
    EXPECT_TRUE(exchange(s, request.data(), 48));
    EXPECT_TRUE(server_->running());
}

// Only whole requests of modes 3 and 1, versions 1 to 4, from a client's port are answered:
// anything else answered could set two servers answering each other for ever.
TEST_F(SNTPServerTest, AnswersNothingButWholeRequestsOfVersionsOneToFour) {
    const std::string sunday = "Sun Dec 27 01:02:03 1999 5130.00,N,00000.00,W and some more";
    const std::string wednesday = "Wed Dec 23 01:02:03 1999 5130.00,N,00000.00,W and some more";
    struct Case {
        const char* what;
        std::string bytes;
        uint16_t fromPort;  // 0: an ephemeral one
    } cases[] = {
        {"empty", "", 0},
        {"47-byte client request", std::string("\x23") + std::string(46, '\0'), 0},
        {"mode 0", std::string("\x20") + std::string(47, '\0'), 0},
        {"mode 2 (an answer to mode 1)", std::string("\x22") + std::string(47, '\0'), 0},
        {"mode 6 control", std::string("\x1E") + std::string(47, '\0'), 0},
        {"mode 7 private", std::string("\x17") + std::string(47, '\0'), 0},
        {"version 0 client", std::string("\x03") + std::string(47, '\0'), 0},
        {"version 5 client", std::string("\x2B") + std::string(47, '\0'), 0},
        {"version 7 symmetric active", std::string("\x39") + std::string(47, '\0'), 0},
        {"daytime text read as mode 7", wednesday, 0},
        {"daytime text read as mode 3, from the daytime port", sunday, 13},
        {"client request from the echo port", std::string("\x23") + std::string(47, '\0'), 7},
    };
    addLoopbackAddress("10.77.0.13");
    for (const Case& c : cases) {
        platform::Socket s =
            c.fromPort ? udpFrom("10.77.0.13", c.fromPort) : testsupport::boundUdp();
        EXPECT_FALSE(exchange(s, c.bytes.data(), c.bytes.size(), Millis(300))) << c.what;
    }
    // Still answering.
    platform::Socket s = testsupport::boundUdp();
    const NtpPacket request = NtpPacket::request(time_.now());
    EXPECT_TRUE(exchange(s, request.data(), 48));
}

// A peer that sends every datagram back (an echo port, another server answering anything)
// with a forged first datagram: the exchange dies out at once instead of going on for ever.
TEST_F(SNTPServerTest, AnEchoingPeerGetsNoLoopGoing) {
    platform::Socket echo = testsupport::boundUdp();
    const uint8_t symmetric[48] = {0x21};  // VN 4 symmetric active: answered once, in mode 2
    ASSERT_TRUE(echo.sendTo("", 0, loopback(123)).ok());
    ASSERT_TRUE(echo.sendTo(symmetric, sizeof symmetric, loopback(123)).ok());
    int echoed = 0;
    // A loop would never fall silent; the count is bounded so that the test ends either way.
    while (echoed < 1000) {
        uint8_t buffer[64];
        const platform::IoResult got =
            echo.receiveFrom(buffer, sizeof buffer, nullptr, Millis(500));
        if (!got.ok()) {
            break;
        }
        ++echoed;
        ASSERT_TRUE(echo.sendTo(buffer, static_cast<size_t>(got.count), loopback(123)).ok());
    }
    EXPECT_EQ(echoed, 1) << "only the symmetric-active request is answered";
}

// A receive that fails (no buffer space, here injected through the platform layer) is one
// Error, however often it repeats, and a short pause; the server answers on.
TEST_F(SNTPServerTest, AReceiveFailureIsLoggedOnceAndTheServerAnswersOn) {
    platform::injectReceiveFailures(123, platform::wsa::kNoBuffers, 6);
    platform::Socket s = testsupport::boundUdp();
    const NtpPacket request = NtpPacket::request(time_.now());
    EXPECT_TRUE(exchange(s, request.data(), 48));
    platform::injectReceiveFailures(0, 0, 0);
    EXPECT_TRUE(server_->running());
    const std::vector<std::string> errors = messages_.texts(MessageLevel::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "recvfrom failed (WSAENOBUFS: No buffer space available)");
}

TEST_F(SNTPServerTest, TellsOfItsActivityAtMostOnceASecond) {
    const auto begin = std::chrono::steady_clock::now();
    platform::Socket s = testsupport::boundUdp();
    for (int i = 0; i < 20; ++i) {
        const NtpPacket request = NtpPacket::request(time_.now());
        ASSERT_TRUE(exchange(s, request.data(), 48));
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin)
            .count();
    const auto activity = messages_.activity();
    ASSERT_FALSE(activity.empty());
    EXPECT_LE(activity.size(), static_cast<size_t>(seconds + 1));
    for (const auto& [server, kind] : activity) {
        EXPECT_EQ(server, "SNTP Server");
        EXPECT_EQ(kind, 1);
    }
}

// The own address is only needed to tell this host's broadcasts from others'; however long
// the name server takes, requests are answered meanwhile, and the stop ends the lookup.
TEST_F(SNTPServerTest, AnswersWhileItsOwnAddressIsStillBeingLookedUp) {
    server_.reset();
    platform::Event released{true};
    std::atomic<bool> asked{false};
    CSNTPServer server(messages_, time_, 5);
    server.setOwnAddressLookup([&](platform::Event& stop) -> uint32_t {
        asked.store(true);
        platform::Event::waitAny({&released, &stop});
        return 0;
    });
    server.start();
    addLoopbackAddress("10.77.0.10");
    platform::Socket other = udpFrom("10.77.0.10");
    uint8_t broadcast[48] = {29, 3};
    broadcast[40] = 0xED;
    ASSERT_TRUE(other.sendTo(broadcast, sizeof broadcast, loopback(123)).ok());
    ASSERT_TRUE(server.broadcastEvent().wait(servertest::kPatience));
    platform::Socket s = testsupport::boundUdp();
    const NtpPacket request = NtpPacket::request(time_.now());
    EXPECT_TRUE(exchange(s, request.data(), 48));
    EXPECT_TRUE(asked.load());
    EXPECT_FALSE(released.isSet());
    server.stop();  // with the lookup still waiting
    EXPECT_FALSE(server.running());
}

TEST_F(SNTPServerTest, LogsNothingPerRequestWhenDebugIsOff) {
    struct Quiet : testsupport::RecordingMessages {
        bool logsDebug() const override { return false; }
    } quiet;
    server_.reset();
    CSNTPServer server(quiet, time_, 5);
    server.start();
    platform::Socket s = testsupport::boundUdp();
    const size_t before = quiet.messages().size();
    for (int i = 0; i < 20; ++i) {
        const NtpPacket request = NtpPacket::request(time_.now());
        ASSERT_TRUE(exchange(s, request.data(), 48));
    }
    EXPECT_EQ(quiet.messages().size(), before);
}

// A host or container without a multicast route: the group cannot be joined, which is said
// with a real text, and unicast clients are answered all the same.
TEST(SNTPServerWithoutMulticast, NtpdigIsAnsweredWhenTheGroupCannotBeJoined) {
    platform::setServiceOverrides("");
    int code = -1;
    run("/usr/sbin/ip", {"route", "del", "224.0.0.0/4", "dev", "lo"}, code);
    testsupport::RecordingMessages messages;
    RecordingTime time{platform::processClock()};
    time.offset_.store(2.0);
    std::string out;
    {
        CSNTPServer server(messages, time, 5);
        server.start();
        out = run("/usr/bin/ntpdig", {"-j", "-t", "3", "127.0.0.1"}, code);
    }
    int restored = -1;
    run("/usr/sbin/ip", {"route", "add", "224.0.0.0/4", "dev", "lo"}, restored);
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("\"stratum\":5"), std::string::npos) << out;
    const std::vector<std::string> errors = messages.texts(MessageLevel::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Couldn't add membership of multicast group (WSA", 0), 0u)
        << errors[0];
}

}  // namespace
