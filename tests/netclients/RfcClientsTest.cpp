// The RFC 868 time and RFC 867 daytime clients against xinetd's built-in services, and against
// scripted servers for what xinetd never does.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>

#include "core/TimeValue.h"
#include "netclients/Crfc867Client.h"
#include "netclients/Crfc868Client.h"
#include "platform/Seams.h"
#include "platform/SimulatedClock.h"
#include "platform/Thread.h"
#include "support/Peers.h"
#include "support/RecordingMessages.h"
#include "support/RecordingTime.h"
#include "support/ScriptedServers.h"

using core::MessageLevel;
using netclients::CRfcTimeClient;
using platform::Millis;
using testsupport::RecordingMessages;
using testsupport::RecordingTime;

namespace {

// The four clients by the service and transport they use.
struct Variant {
    const char* service;  // as KRONEL_SERVICES names it: "time/tcp"
    const char* sourceName;
    const char* referenceId;
    std::function<std::unique_ptr<CRfcTimeClient>(core::MessageHandler&, core::TimeHandler&)> make;
};

template <typename Client>
Variant variant(const char* service, const char* referenceId) {
    return {service, Client::kSourceName, referenceId,
            [](core::MessageHandler& m, core::TimeHandler& t) {
                return std::make_unique<Client>(m, t, "127.0.0.1", 0, nullptr);
            }};
}

const Variant kTimeTcp = variant<netclients::Crfc868tcpClient>("time/tcp", "TIME");
const Variant kTimeUdp = variant<netclients::Crfc868udpClient>("time/udp", "TIME");
const Variant kDaytimeTcp = variant<netclients::Crfc867tcpClient>("daytime/tcp", "DAYT");
const Variant kDaytimeUdp = variant<netclients::Crfc867udpClient>("daytime/udp", "DAYT");

class ServicePort {
public:
    ServicePort(const std::string& service, uint16_t port) {
        platform::setServiceOverrides(service + "=" + std::to_string(port));
    }
    ~ServicePort() { platform::setServiceOverrides(""); }
};

// One client run once (poll interval 0) against `port`, on a clock `offset` seconds off.
struct RfcRun {
    RfcRun(const Variant& v, uint16_t port, double offset, Millis replyTimeout = Millis(3000))
        : clock(offset), time(clock), override(v.service, port) {
        client = v.make(messages, time);
        client->setReplyTimeout(replyTimeout);
        client->start();
    }
    bool finish() {
        const bool got = time.waitForResults(1);
        client->stop();
        return got;
    }
    platform::SimulatedClock clock;
    RecordingMessages messages;
    RecordingTime time;
    ServicePort override;
    std::unique_ptr<CRfcTimeClient> client;
};

class RfcClientsWithPeers : public ::testing::TestWithParam<std::tuple<const Variant*, double>> {};

}  // namespace

TEST_P(RfcClientsWithPeers, CorrectTheClockFromXinetd) {
    const auto& [v, offset] = GetParam();
    const uint16_t port = testsupport::peerPort(v->service);
    ASSERT_NE(port, 0) << testsupport::kNoPeers;
    RfcRun run(*v, port, offset);
    ASSERT_TRUE(run.finish());
    ASSERT_EQ(run.time.corrections().size(), 1u) << v->service;
    EXPECT_EQ(run.time.failures(), 0u);
    // Whole seconds on the wire: the time lands within a second; daytime corrects within the
    // hour, which these offsets stay inside.
    EXPECT_NEAR(run.time.corrections()[0], -offset, 1.0) << v->service;
    EXPECT_EQ(run.time.referenceId(), core::referenceIdFromText(v->referenceId));
    EXPECT_TRUE(run.messages.has(MessageLevel::Info, "connecting to 127.0.0.1"));
    for (const auto& m : run.messages.messages()) {
        EXPECT_EQ(m.source, v->sourceName);
    }
    if (std::string(v->referenceId) == "DAYT") {
        // xinetd's own format, "08 DEC 2026 02:55:15 UTC".
        EXPECT_TRUE(run.messages.has(MessageLevel::Debug, " UTC")) << "received >...<";
    }
}

INSTANTIATE_TEST_SUITE_P(Rfc, RfcClientsWithPeers,
                         ::testing::Combine(::testing::Values(&kTimeTcp, &kTimeUdp, &kDaytimeTcp,
                                                              &kDaytimeUdp),
                                            ::testing::Values(-750.4, 750.4)),
                         [](const auto& info) {
                             std::string name = std::get<0>(info.param)->service;
                             name[name.find('/')] = '_';
                             return name + (std::get<1>(info.param) < 0 ? "_Behind" : "_Ahead");
                         });

// What scripted servers do, and what the client must say about it.
struct OddCase {
    const char* what;
    const Variant* variant;
    std::function<void(platform::Socket&, platform::Event&)> tcp;  // for TCP variants
    std::function<void(platform::Socket&, const platform::Endpoint&)> udp;
    const char* warning;  // the Warn line, or "" for a result
    double correction;    // when there is one
};

TEST(RfcClients, ReportWhatScriptedServersDo) {
    const auto pieces = [](platform::Socket& c, platform::Event&) {
        testsupport::sendAll(c, std::string("\xE0\x00", 2));
        platform::sleepFor(Millis(100));
        testsupport::sendAll(c, std::string("\x00\x00", 2));
    };
    const auto silent = [](platform::Socket&, platform::Event& stopped) { stopped.wait(); };
    const auto shortDatagram = [](platform::Socket& s, const platform::Endpoint& from) {
        const uint8_t two[2] = {0xE0, 0};
        (void)s.sendTo(two, sizeof two, from);
    };
    const auto noAnswer = [](platform::Socket&, const platform::Endpoint&) {};
    const auto noTime = [](platform::Socket& c, platform::Event&) {
        testsupport::sendAll(c, "no time here, 12:34 at most");
    };
    const OddCase cases[] = {
        {"4 bytes in two pieces", &kTimeTcp, pieces, {}, "recv failed(No WinSock error)", 0},
        {"a silent TCP server",
         &kTimeTcp,
         silent,
         {},
         "recv failed(WSAETIMEDOUT: Connection timed out)",
         0},
        {"a silent daytime server",
         &kDaytimeTcp,
         silent,
         {},
         "recv failed(WSAETIMEDOUT: Connection timed out)",
         0},
        {"a 2-byte UDP answer",
         &kTimeUdp,
         {},
         shortDatagram,
         "recvfrom failed(No WinSock error)",
         0},
        {"no UDP answer",
         &kTimeUdp,
         {},
         noAnswer,
         "recvfrom failed(WSAETIMEDOUT: Connection timed out)",
         0},
        {"no UDP daytime answer",
         &kDaytimeUdp,
         {},
         noAnswer,
         "recvfrom failed(WSAETIMEDOUT: Connection timed out)",
         0},
        {"a daytime text without a time", &kDaytimeTcp, noTime, {}, "No valid time returned", 0},
    };
    for (const OddCase& c : cases) {
        std::unique_ptr<testsupport::ScriptedTcpServer> tcp;
        std::unique_ptr<testsupport::ScriptedUdpServer> udp;
        uint16_t port = 0;
        if (c.tcp) {
            tcp = std::make_unique<testsupport::ScriptedTcpServer>(c.tcp);
            port = tcp->port();
        } else {
            udp = std::make_unique<testsupport::ScriptedUdpServer>(c.udp);
            port = udp->port();
        }
        RfcRun run(*c.variant, port, 0.0, Millis(300));
        ASSERT_TRUE(run.finish()) << c.what;
        EXPECT_TRUE(run.messages.has(MessageLevel::Warn, c.warning))
            << c.what << ": "
            << (run.messages.texts(MessageLevel::Warn).empty()
                    ? std::string("no warning")
                    : run.messages.texts(MessageLevel::Warn)[0]);
        EXPECT_EQ(run.time.failures(), 1u) << c.what;
        EXPECT_TRUE(run.time.corrections().empty()) << c.what;
    }
}

TEST(RfcClients, DaytimeFoldsAcrossTheHour) {
    // Our clock at 59:50 past some hour, the server's text at 00:10: 20 s ahead, not 3580 behind.
    for (const Variant* v : {&kDaytimeTcp, &kDaytimeUdp}) {
        const auto answer = std::string("Tue Dec  8 04:00:10 2026\r\n");
        testsupport::ScriptedTcpServer tcp(
            [&](platform::Socket& c, platform::Event&) { testsupport::sendAll(c, answer); });
        testsupport::ScriptedUdpServer udp(
            [&](platform::Socket& s, const platform::Endpoint& from) {
                (void)s.sendTo(answer.data(), answer.size(), from);
            });
        const bool isTcp = v == &kDaytimeTcp;
        const double trueNow = platform::realUtcSeconds() + core::kNtpUnixOffset;
        const double wanted = std::floor(trueNow / 3600) * 3600 + 3590.2;
        RfcRun run(*v, isTcp ? tcp.port() : udp.port(), wanted - trueNow);
        ASSERT_TRUE(run.finish());
        ASSERT_EQ(run.time.corrections().size(), 1u) << v->service;
        // A slow start may carry our clock past 59:50 by a second.
        EXPECT_NEAR(run.time.corrections()[0], 20.0, 1.0) << v->service;
        EXPECT_TRUE(run.messages.has(MessageLevel::Debug, "received >Tue Dec  8 04:00:10 2026"));
    }
}

TEST(RfcClients, ARefusedConnectionAndAStopAreToldApart) {
    uint16_t closedPort = 0;
    {
        testsupport::ScriptedTcpServer gone([](platform::Socket&, platform::Event&) {});
        closedPort = gone.port();
    }
    RfcRun refused(kTimeTcp, closedPort, 0.0);
    ASSERT_TRUE(refused.finish());
    EXPECT_TRUE(refused.messages.has(
        MessageLevel::Warn, "Couldn't connect to host(WSAECONNREFUSED: Connection refused)"));
    EXPECT_EQ(refused.time.failures(), 1u);

    // A stop while the server keeps silent ends the client at once, quietly.
    testsupport::ScriptedTcpServer silent(
        [](platform::Socket&, platform::Event& stopped) { stopped.wait(); });
    RfcRun stopped(kTimeTcp, silent.port(), 0.0, CRfcTimeClient::kDefaultReplyTimeout);
    ASSERT_TRUE(silent.connected().wait(Millis(10000)));
    stopped.client->stop();
    EXPECT_FALSE(stopped.client->running());
    EXPECT_TRUE(stopped.messages.texts(MessageLevel::Warn).empty());
    EXPECT_EQ(stopped.time.failures(), 0u);
}

TEST(RfcClients, StartWithAFifteenSecondReplyTimeout) {
    platform::SimulatedClock clock;
    RecordingMessages messages;
    RecordingTime time(clock);
    for (const Variant* v : {&kTimeTcp, &kTimeUdp, &kDaytimeTcp, &kDaytimeUdp}) {
        const auto client = v->make(messages, time);
        EXPECT_EQ(client->replyTimeout(), Millis(15000));
        EXPECT_EQ(client->sourceName(), v->sourceName);
    }
}
