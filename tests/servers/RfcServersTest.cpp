#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ServerTestSupport.h"
#include "core/TimeValue.h"
#include "platform/ChildProcess.h"
#include "platform/Socket.h"
#include "servers/RfcServers.h"
#include "support/Loopback.h"
#include "support/RecordingMessages.h"

using platform::Millis;
using testsupport::loopback;
using testsupport::RecordingTime;

namespace {

constexpr double k1970 = 2208988800.0;

class RfcServersTest : public ::testing::Test {
protected:
    void SetUp() override { platform::setServiceOverrides(""); }
    template <typename T>
    std::unique_ptr<T> started() {
        auto server = std::make_unique<T>(messages_, time_);
        server->start();
        return server;
    }
    std::string askUdp(uint16_t port) {
        platform::Socket s = testsupport::boundUdp();
        // Content does not matter: an empty datagram is a request too.
        EXPECT_TRUE(s.sendTo("", 0, loopback(port)).ok());
        char buffer[600];
        const platform::IoResult got = s.receiveFrom(buffer, sizeof buffer, nullptr, Millis(3000));
        EXPECT_TRUE(got.ok()) << "no answer on UDP port " << port;
        return std::string(buffer, got.ok() ? static_cast<size_t>(got.count) : 0);
    }
    std::string askTcp(uint16_t port) {
        platform::Socket s;
        EXPECT_TRUE(s.open(platform::Socket::Type::Tcp).ok());
        EXPECT_TRUE(s.connect(loopback(port), Millis(3000)).ok());
        std::string all;
        char buffer[600];
        for (;;) {
            const platform::IoResult got = s.receive(buffer, sizeof buffer, Millis(3000));
            if (!got.ok() || got.count == 0) {
                return all;
            }
            all.append(buffer, static_cast<size_t>(got.count));
        }
    }
    testsupport::RecordingMessages messages_;
    RecordingTime time_{platform::processClock()};
};

TEST_F(RfcServersTest, TimeAnswerFor1970IsTheEpochDifference) {
    time_.fixed_.store(k1970);
    auto udp = started<servers::Crfc868udpServer>();
    auto tcp = started<servers::Crfc868tcpServer>();
    const std::string expected("\x83\xAA\x7E\x80", 4);
    {
        // Asks and goes before the answer arrives: the answer bounces, the server goes on.
        platform::Socket gone = testsupport::boundUdp();
        ASSERT_TRUE(gone.sendTo("", 0, loopback(37)).ok());
    }
    std::this_thread::sleep_for(Millis(100));
    EXPECT_EQ(askUdp(37), expected);
    EXPECT_EQ(askTcp(37), expected);
    EXPECT_TRUE(messages_.has(core::MessageLevel::Debug, "Time request received from 127.0.0.1"));
    // One activity notice each: the answers came within a second.
    using Notice = std::pair<std::string, int>;
    const std::vector<Notice> activity = messages_.activity();
    EXPECT_EQ(std::count(activity.begin(), activity.end(), Notice{"RFC868 UDP Server", 1}), 1);
    EXPECT_EQ(std::count(activity.begin(), activity.end(), Notice{"RFC868 TCP Server", 1}), 1);
}

// A real client sends from an ephemeral port; a datagram "from" a service's port (echo,
// chargen, daytime, time) is a forgery that would bounce between two servers for ever.
TEST_F(RfcServersTest, DatagramsFromServicePortsAreNotAnswered) {
    auto daytime = started<servers::Crfc867udpServer>();
    auto time = started<servers::Crfc868udpServer>();
    for (const uint16_t from : {7, 13, 19, 37, 123, 1023}) {
        platform::Socket s;
        ASSERT_TRUE(s.open(platform::Socket::Type::Udp).ok());
        ASSERT_TRUE(s.setReuseAddress(true).ok());  // beside the servers on 13 and 37
        // Another loopback address, so what is sent to 127.0.0.1 reaches the servers.
        ASSERT_TRUE(s.bind({*platform::parseDottedIPv4("127.0.0.2"), from}).ok()) << from;
        for (const uint16_t to : {13, 37}) {
            ASSERT_TRUE(s.sendTo("", 0, loopback(to)).ok());
            char buffer[600];
            EXPECT_FALSE(s.receiveFrom(buffer, sizeof buffer, nullptr, Millis(300)).ok())
                << "answered port " << from << " on port " << to;
        }
    }
    EXPECT_FALSE(askUdp(13).empty());
    EXPECT_EQ(askUdp(37).size(), 4u);
}

// A client that resets its connection before it is taken, and failed accepts (here injected
// through the platform layer): one Error, a short pause, and the server answers on.
TEST_F(RfcServersTest, AFailedAcceptOrAResettingClientDoesNotEndTheTcpServer) {
    time_.fixed_.store(k1970);
    auto tcp = started<servers::Crfc868tcpServer>();
    platform::ChildProcess resetter;
    ASSERT_TRUE(
        resetter
            .start("/usr/bin/python3",
                   {"-c",
                    "import socket, struct\n"
                    "s = socket.create_connection(('127.0.0.1', 37))\n"
                    "s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))\n"
                    "s.close()\n"})
            .ok());
    int code = -1;
    ASSERT_TRUE(resetter.wait(Millis(10000), code));
    EXPECT_EQ(code, 0) << resetter.errors();
    platform::injectReceiveFailures(37, platform::wsa::kConnAborted, 4);
    const std::string expected("\x83\xAA\x7E\x80", 4);
    EXPECT_EQ(askTcp(37), expected);
    platform::injectReceiveFailures(0, 0, 0);
    EXPECT_EQ(askTcp(37), expected);
    EXPECT_TRUE(tcp->running());
    const std::vector<std::string> errors = messages_.texts(core::MessageLevel::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "accept failed (WSAECONNABORTED: Software caused connection abort)");
}

TEST_F(RfcServersTest, DaytimeIsTheDateTextFollowedByTheEnginesTextWithoutLineEnd) {
    time_.fixed_.store(k1970 + 86400.0 * 365 * 30 + 3723.5);  // Sat Dec 25 01:02:03 1999
    time_.setSharedText("5130.00,N,00000.00,W");
    auto udp = started<servers::Crfc867udpServer>();
    auto tcp = started<servers::Crfc867tcpServer>();
    const std::string expected = "Sat Dec 25 01:02:03 1999 5130.00,N,00000.00,W";
    EXPECT_EQ(askUdp(13), expected);
    EXPECT_EQ(askTcp(13), expected);
    time_.setSharedText("");
    EXPECT_EQ(askUdp(13), "Sat Dec 25 01:02:03 1999 ");
}

TEST_F(RfcServersTest, RdateReadsOurTimeOverTcpAndUdp) {
    time_.offset_.store(86400.0 * 400);  // a date no real clock here shows
    auto udp = started<servers::Crfc868udpServer>();
    auto tcp = started<servers::Crfc868tcpServer>();
    const core::CalendarTime c = core::calendarFromUnix(core::unixFromTimeValue(time_.now()));
    const std::string day = core::statusTimeText(c).substr(0, 10);
    for (const bool useUdp : {false, true}) {
        platform::ChildProcess rdate;
        std::vector<std::string> args{"-p"};
        if (useUdp) {
            args.push_back("-u");
        }
        args.push_back("127.0.0.1");
        ASSERT_TRUE(rdate.start("/usr/sbin/rdate", args).ok());
        int code = -1;
        ASSERT_TRUE(rdate.wait(Millis(10000), code));
        const std::string out = rdate.output() + rdate.errors();
        EXPECT_EQ(code, 0) << out;
        EXPECT_NE(out.find(day), std::string::npos) << out << " expected " << day;
    }
}

TEST_F(RfcServersTest, BindFailureEndsTheThreadWithAnError) {
    platform::Socket blocker;
    ASSERT_TRUE(blocker.open(platform::Socket::Type::Tcp).ok());
    ASSERT_TRUE(blocker.setReuseAddress(true).ok());  // earlier tests' connections linger
    ASSERT_TRUE(blocker.bind({0, 37}).ok());
    ASSERT_TRUE(blocker.listen(1).ok());
    auto tcp = started<servers::Crfc868tcpServer>();
    tcp->stop();
    EXPECT_TRUE(messages_.has(core::MessageLevel::Error, "Couldn't bind socket ("));
}

}  // namespace
