#include <gtest/gtest.h>

#include <chrono>

#include <cstring>
#include <string>
#include <thread>

#include "ServerTestSupport.h"
#include "netclients/CSNTPClient.h"
#include "platform/ChildProcess.h"
#include "platform/Seams.h"
#include "platform/Socket.h"
#include "servers/CNTPBcastServer.h"
#include "servers/CSNTPServer.h"
#include "support/Loopback.h"
#include "support/RecordingMessages.h"
#include "wire/NtpPacket.h"

using core::MessageLevel;
using platform::Millis;
using servers::CNTPBcastServer;
using testsupport::RecordingTime;
using wire::NtpPacket;

namespace {

uint32_t ip(const char* text) {
    return *platform::parseDottedIPv4(text);
}

void addLoopbackAddress(const char* address) {
    platform::ChildProcess p;
    ASSERT_TRUE(
        p.start("/usr/sbin/ip", {"addr", "add", std::string(address) + "/32", "dev", "lo"}).ok());
    int code = -1;
    ASSERT_TRUE(p.wait(Millis(5000), code));
    ASSERT_TRUE(code == 0 || p.errors().find("File exists") != std::string::npos) << p.errors();
}

platform::Socket udpOn(uint32_t address, uint16_t port) {
    platform::Socket s;
    EXPECT_TRUE(s.open(platform::Socket::Type::Udp).ok());
    EXPECT_TRUE(s.setReuseAddress(true).ok());
    EXPECT_TRUE(s.bind({address, port}).ok());
    return s;
}

TEST(NTPBcastServer, ListSkipsEmptyItemsAndSendsNonAddressesToTheBroadcastAddress) {
    struct Case {
        const char* list;
        std::vector<std::pair<std::string, uint32_t>> targets;
    } cases[] = {
        {"255.255.255.255", {{"255.255.255.255", 0xFFFFFFFFu}}},
        {"10.0.0.1,,224.0.1.1", {{"10.0.0.1", ip("10.0.0.1")}, {"224.0.1.1", ip("224.0.1.1")}}},
        {",,", {}},
        {"", {}},
        {"timehost,10.0.0.255,", {{"timehost", 0xFFFFFFFFu}, {"10.0.0.255", ip("10.0.0.255")}}},
    };
    for (const Case& c : cases) {
        const auto targets = CNTPBcastServer::parseTargets(c.list);
        ASSERT_EQ(targets.size(), c.targets.size()) << c.list;
        for (size_t i = 0; i < targets.size(); ++i) {
            EXPECT_EQ(targets[i].text, c.targets[i].first) << c.list;
            EXPECT_EQ(targets[i].address, c.targets[i].second) << c.list;
            EXPECT_EQ(targets[i].dotted, targets[i].text != "timehost");
        }
    }
}

TEST(NTPBcastServer, BroadcastsEachRoundAndWarnsOnceForAnItemThatIsNoAddress) {
    platform::setServiceOverrides("");
    platform::setTimeScale(20);  // 1 s rounds every 50 ms
    testsupport::RecordingMessages messages;
    RecordingTime time{platform::processClock()};
    time.offset_.store(12.0);
    platform::Socket listener = udpOn(0, 123);
    ASSERT_TRUE(listener.joinMulticastGroup(ip("224.0.1.1")).ok());
    const auto begin = std::chrono::steady_clock::now();
    {
        CNTPBcastServer server(messages, time, 1, 3, "224.0.1.1,,nonsense", 31);
        server.start();
        int got = 0;
        for (; got < 4; ++got) {
            uint8_t buffer[64];
            const platform::IoResult r =
                listener.receiveFrom(buffer, sizeof buffer, nullptr, servertest::kPatience);
            ASSERT_TRUE(r.ok());
            ASSERT_EQ(r.count, 48);
            const NtpPacket p = *NtpPacket::fromBytes(buffer, 48);
            EXPECT_EQ(p.bytes()[0], 29);
            EXPECT_EQ(p.stratum(), 3);
            EXPECT_EQ(p.poll(), 6);
            EXPECT_EQ(std::memcmp(p.referenceId().data(), "LOCL", 4), 0);
            EXPECT_NEAR(wire::decodeTimestamp(p.timestamp(NtpPacket::kTransmit)), time.now(), 1.0);
        }
    }
    platform::setTimeScale(1);
    // Four rounds, but an activity notice at most once a second.
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin)
            .count();
    const auto activity = messages.activity();
    ASSERT_FALSE(activity.empty());
    EXPECT_LE(activity.size(), static_cast<size_t>(seconds + 1));
    for (const auto& notice : activity) {
        EXPECT_EQ(notice, std::make_pair(std::string("SNTP Broadcast Server"), 2));
    }
    int warnings = 0;
    for (const std::string& w : messages.texts(MessageLevel::Warn)) {
        warnings += w.find("nonsense") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(warnings, 1);
    EXPECT_TRUE(messages.has(MessageLevel::Debug, "Time broadcast to 224.0.1.1"));
    EXPECT_TRUE(messages.has(MessageLevel::Debug, "Time broadcast to nonsense"));
}

TEST(NTPBcastServer, SendsNothingWhileUnsynchronisedAndStopsDuringTheWait) {
    platform::setServiceOverrides("");
    testsupport::RecordingMessages messages;
    RecordingTime time{platform::processClock()};
    time.synchronised_.store(false);
    platform::Socket listener = udpOn(0, 123);
    ASSERT_TRUE(listener.joinMulticastGroup(ip("224.0.1.1")).ok());
    CNTPBcastServer server(messages, time, 64, 3, "224.0.1.1", 31);
    server.start();
    uint8_t buffer[64];
    EXPECT_FALSE(listener.receiveFrom(buffer, sizeof buffer, nullptr, Millis(300)).ok());
    server.stop();
    EXPECT_FALSE(server.running());
    EXPECT_FALSE(messages.has(MessageLevel::Debug, "Killing"));
}

class ThroughServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setServiceOverrides("");
        server_ = std::make_unique<servers::CSNTPServer>(messages_, time_, 5);
        server_->start();
    }
    testsupport::RecordingMessages messages_;
    RecordingTime time_{platform::processClock()};
    std::unique_ptr<servers::CSNTPServer> server_;
};

// The peer answers in turn with a reply to some other request, the right reply from a host
// that was not asked, and the right reply: only the last may set the clock.
TEST_F(ThroughServerTest, AlternativeClientSendsFromTheNtpPortAndTakesOnlyItsAnswer) {
    // Requests to 127.0.0.3 leave from 127.0.0.1, so the answers reach the server's socket.
    platform::Socket peer = udpOn(ip("127.0.0.3"), 123);
    platform::Socket stranger = udpOn(ip("127.0.0.4"), 123);
    netclients::CSNTPClient client(messages_, time_, "127.0.0.3", 60, true, nullptr, server_.get());
    client.start();

    uint8_t request[48];
    platform::Endpoint from;
    const platform::IoResult got =
        peer.receiveFrom(request, sizeof request, &from, servertest::kPatience);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(from.port, 123) << "sent from the NTP port";
    EXPECT_EQ(request[0], 27);

    const NtpPacket asked = *NtpPacket::fromBytes(request, 48);
    const double t1 = wire::decodeTimestamp(asked.timestamp(NtpPacket::kTransmit));
    NtpPacket::ServerFields fields;
    fields.stratum = 2;
    fields.receiveTime = t1 + 4.0;
    fields.transmitTime = t1 + 4.0;
    const NtpPacket right = NtpPacket::serverReply(asked, fields);
    NtpPacket::Bytes otherBytes = right.bytes();
    otherBytes[NtpPacket::kOriginate + 7] ^= 1;
    fields.receiveTime = fields.transmitTime = t1 - 50.0;
    NtpPacket::Bytes wrongValue = NtpPacket::serverReply(asked, fields).bytes();

    ASSERT_TRUE(peer.sendTo(otherBytes.data(), 48, from).ok());
    ASSERT_TRUE(stranger.sendTo(wrongValue.data(), 48, from).ok());
    ASSERT_TRUE(peer.sendTo(right.data(), 48, from).ok());
    ASSERT_TRUE(time_.waitForResults(1));
    client.stop();
    ASSERT_EQ(time_.corrections().size(), 1u);
    EXPECT_NEAR(time_.corrections()[0], 4.0, 0.5);
    EXPECT_EQ(time_.referenceId(), core::referenceIdFromAddress(ip("127.0.0.3")));
}

TEST_F(ThroughServerTest, AlternativeClientWithoutAServerSocketFailsToSend) {
    netclients::CSNTPClient client(messages_, time_, "127.0.0.1", 60, false, nullptr, nullptr);
    client.start();
    ASSERT_TRUE(time_.waitForResults(1));
    client.stop();
    EXPECT_EQ(time_.failures(), 1u);
    EXPECT_TRUE(messages_.has(MessageLevel::Warn, "sendto failed("));
}

TEST_F(ThroughServerTest, BroadcastClientFiltersItsSenderAndHoldsOffForThePollInterval) {
    addLoopbackAddress("10.77.0.5");
    addLoopbackAddress("10.77.0.6");
    platform::Socket wanted = udpOn(ip("10.77.0.5"), 0);
    platform::Socket other = udpOn(ip("10.77.0.6"), 0);
    // The client clears the broadcast event before each wait, so a broadcast is sent only once
    // it waits.
    auto broadcastAt = [&](platform::Socket& from, double offset) {
        std::this_thread::sleep_for(Millis(100));
        const NtpPacket p =
            NtpPacket::broadcast(3, 6, core::referenceIdFromText("GPS"), 0, time_.now() + offset);
        ASSERT_TRUE(from.sendTo(p.data(), 48, testsupport::loopback(123)).ok());
    };
    {
        netclients::CSNTPBroadcastClient client(messages_, time_, "10.77.0.5", 60, server_.get());
        client.start();
        broadcastAt(other, 30.0);  // not the sender asked for
        broadcastAt(wanted, 2.0);
        ASSERT_TRUE(time_.waitForResults(1));
        broadcastAt(wanted, 9.0);  // within the hour: held off
        std::this_thread::sleep_for(Millis(300));
        client.stop();
    }
    ASSERT_EQ(time_.corrections().size(), 1u);
    EXPECT_NEAR(time_.corrections()[0], 2.0, 0.2);
    EXPECT_EQ(time_.referenceId(), core::referenceIdFromAddress(ip("10.77.0.5")));
    EXPECT_TRUE(messages_.has(MessageLevel::Info, " listening to 10.77.0.5"));

    // Poll interval 0 and a name that does not resolve: every sender, every broadcast.
    netclients::CSNTPBroadcastClient any(messages_, time_, "no-such-host.invalid", 0,
                                         server_.get());
    any.start();
    broadcastAt(other, 5.0);
    ASSERT_TRUE(time_.waitForResults(2));
    broadcastAt(wanted, 6.0);
    ASSERT_TRUE(time_.waitForResults(3));
    any.stop();
    EXPECT_TRUE(messages_.has(MessageLevel::Warn, "Couldn't determine address for no-such-host"));
    EXPECT_NEAR(time_.corrections()[1], 5.0, 0.2);
    EXPECT_NEAR(time_.corrections()[2], 6.0, 0.2);
}

}  // namespace
