#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "ServerTestSupport.h"
#include "engine/TimeValue.h"
#include "platform/ChildProcess.h"
#include "platform/Socket.h"
#include "servers/RfcServers.h"
#include "support/Loopback.h"
#include "support/RecordingMessages.h"

using platform::Millis;
using servertest::FakeTime;
using testsupport::loopback;

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
    FakeTime time_;
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
    EXPECT_TRUE(messages_.has(engine::MessageLevel::Debug, "Time request received from 127.0.0.1"));
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
    const engine::CalendarTime c = engine::calendarFromUnix(engine::unixFromTimeValue(time_.now()));
    const std::string day = engine::statusTimeText(c).substr(0, 10);
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
    EXPECT_TRUE(messages_.has(engine::MessageLevel::Error, "Couldn't bind socket ("));
}

}  // namespace
