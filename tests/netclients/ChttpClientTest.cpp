// The HTTP time client against python3's http.server, and against scripted servers and a
// scripted proxy for the other header forms and the failures.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "core/TimeValue.h"
#include "netclients/ChttpClient.h"
#include "platform/SimulatedClock.h"
#include "platform/Thread.h"
#include "support/Peers.h"
#include "support/RecordingMessages.h"
#include "support/RecordingTime.h"
#include "support/ScriptedServers.h"
#include "support/TestSupport.h"

using core::MessageLevel;
using netclients::ChttpClient;
using platform::Millis;
using testsupport::RecordingMessages;
using testsupport::RecordingTime;

namespace {

// One client run once (poll interval 0), on a clock `offset` seconds off.
struct HttpRun {
    HttpRun(const std::string& address, double offset, bool useProxy = false,
            const engine::ProxySettings& proxy = {}, Millis replyTimeout = Millis(3000))
        : clock(offset), time(clock) {
        client =
            std::make_unique<ChttpClient>(messages, time, address, 0, useProxy, proxy, nullptr);
        client->setReplyTimeout(replyTimeout);
        client->start();
    }
    bool finish() {
        const bool got = time.waitForResults(1);
        client->stop();
        return got;
    }
    std::string warning() const {
        const auto w = messages.texts(MessageLevel::Warn);
        return w.empty() ? "" : w[0];
    }
    platform::SimulatedClock clock;
    RecordingMessages messages;
    RecordingTime time;
    std::unique_ptr<ChttpClient> client;
};

std::string local(uint16_t port, const std::string& path = "/") {
    return "127.0.0.1:" + std::to_string(port) + path;
}

// A server that answers every request with `reply` and closes.
testsupport::ScriptedTcpServer::Script answering(std::string reply) {
    return [reply](platform::Socket& c, platform::Event&) {
        (void)testsupport::readRequest(c);
        testsupport::sendAll(c, reply);
    };
}

}  // namespace

TEST(ChttpClientWithPeers, TakesTheDateOfPythonsHttpServer) {
    const uint16_t port = testsupport::peerPort("http");
    ASSERT_NE(port, 0) << testsupport::kNoPeers;
    for (double offset : {-250.3, 250.3}) {
        HttpRun run("http://" + local(port, "/index.html"), offset);
        ASSERT_TRUE(run.finish());
        ASSERT_EQ(run.time.corrections().size(), 1u) << run.warning();
        // The header has whole seconds.
        EXPECT_NEAR(run.time.corrections()[0], -offset, 1.0);
        EXPECT_EQ(run.time.referenceId(), core::referenceIdFromText("HTTP"));
        EXPECT_TRUE(run.messages.has(MessageLevel::Info,
                                     "Connecting to 127.0.0.1 port " + std::to_string(port)));
        EXPECT_TRUE(run.messages.has(MessageLevel::Debug, "GET /index.html HTTP/1.0\r\n"));
        EXPECT_TRUE(run.messages.has(MessageLevel::Debug, "Server: SimpleHTTP"));
    }
    // A missing page is python's 404.
    HttpRun missing(local(port, "/no-such-page"), 0.0);
    ASSERT_TRUE(missing.finish());
    EXPECT_EQ(missing.warning(), "Not found (HTTP error 404)");
    EXPECT_EQ(missing.time.failures(), 1u);
}

TEST(ChttpClient, ReadsEveryReplyAScriptedServerSends) {
    const double now = platform::realUtcSeconds();
    const double minute = std::floor(now / 60) * 60;
    // Date texts of the true time's minute, so the expected correction is known to the second.
    const auto c = core::calendarFromUnix({static_cast<int64_t>(minute), 0});
    const auto text = [&](const char* format) {
        static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        static const char* kLongDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
        static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        char out[80];
        if (std::string(format) == "long") {
            std::snprintf(out, sizeof out, "%s, %02d-%s-%02d %02d:%02d:00 GMT",
                          kLongDays[c.weekday], c.day, kMonths[c.month - 1], c.year % 100, c.hour,
                          c.minute);
        } else {
            std::snprintf(out, sizeof out, "%s %s %2d %02d:%02d:00 %d", kDays[c.weekday],
                          kMonths[c.month - 1], c.day, c.hour, c.minute, c.year);
        }
        return std::string(out);
    };
    const std::string head = "HTTP/1.0 200 OK\r\nServer: scripted\r\n";
    const struct {
        const char* what;
        std::string reply;
        double correction;  // relative to true time minus `minute`; NAN: a failure
        const char* warning;
    } cases[] = {
        {"full weekday, two-digit year", head + "Date: " + text("long") + "\r\n\r\nok", 0, ""},
        {"month first, year last", head + "Date: " + text("asctime") + "\r\n\r\nok", 0, ""},
        {"no Date, a time of day in the body",
         head + "\r\nIt is 10:" + std::to_string(c.minute / 10) + std::to_string(c.minute % 10) +
             ":00 somewhere",
         0, ""},
        {"404", "HTTP/1.0 404 Not Found\r\n\r\n", NAN, "Not found (HTTP error 404)"},
        {"nothing to go by", head + "\r\nno time", NAN, "No valid time returned"},
        {"larger than the buffer",
         head + "Date: " + text("asctime") + "\r\n\r\n" + std::string(100000, 'x'), 0, ""},
    };
    for (const auto& c : cases) {
        testsupport::ScriptedTcpServer server(answering(c.reply));
        HttpRun run(local(server.port()), 0.0);
        ASSERT_TRUE(run.finish()) << c.what;
        if (std::isnan(c.correction)) {
            EXPECT_EQ(run.warning(), c.warning) << c.what;
            EXPECT_EQ(run.time.failures(), 1u) << c.what;
            continue;
        }
        ASSERT_EQ(run.time.corrections().size(), 1u) << c.what << ": " << run.warning();
        // The server's minute against the true time now: minus the seconds into the minute.
        const double expected = minute - platform::realUtcSeconds();
        EXPECT_NEAR(run.time.corrections()[0], expected, 1.5) << c.what;
    }
}

TEST(ChttpClient, UsesTheReplyOfAServerThatNeverClosesAndGivesUpOnASilentOne) {
    testsupport::ScriptedTcpServer server([](platform::Socket& c, platform::Event& stopped) {
        (void)testsupport::readRequest(c);
        testsupport::sendAll(c, "HTTP/1.0 200 OK\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n");
        stopped.wait();
    });
    {
        HttpRun run(local(server.port()), 0.0, false, {}, Millis(300));
        ASSERT_TRUE(run.finish());
        ASSERT_EQ(run.time.corrections().size(), 1u) << run.warning();
        EXPECT_NEAR(run.time.corrections()[0], 784111777 - platform::realUtcSeconds(), 2.0);
    }
    testsupport::ScriptedTcpServer silent([](platform::Socket& c, platform::Event& stopped) {
        (void)testsupport::readRequest(c);
        stopped.wait();
    });
    HttpRun run(local(silent.port()), 0.0, false, {}, Millis(300));
    // A receive failure is no source failure: the client tries again at the next poll.
    ASSERT_TRUE(testsupport::eventually([&] { return !run.warning().empty(); }));
    run.client->stop();
    EXPECT_EQ(run.warning(), "recv failed(WSAETIMEDOUT: Connection timed out)");
    EXPECT_TRUE(run.time.corrections().empty());
    EXPECT_EQ(run.time.failures(), 0u);
}

TEST(ChttpClient, AnAddressWithNothingToAskFailsTheSourceWithAnError) {
    const struct {
        const char* address;
        bool useProxy;
        const char* error;
    } cases[] = {
        {"http://", false, "No host name in http://"},
        {":8080/time", false, "No host name in :8080/time"},
        {"www.example.com/time", true, "No proxy address set for www.example.com/time"},
    };
    for (const auto& c : cases) {
        HttpRun run(c.address, 0.0, c.useProxy);
        ASSERT_TRUE(run.finish()) << c.address;
        EXPECT_EQ(run.time.failures(), 1u) << c.address;
        EXPECT_EQ(run.messages.texts(MessageLevel::Error), std::vector<std::string>{c.error});
    }
}

TEST(ChttpClient, AsksThroughAProxyWithBasicAuthorisation) {
    std::string request;
    testsupport::ScriptedTcpServer proxy([&](platform::Socket& c, platform::Event&) {
        request = testsupport::readRequest(c);
        if (request.find("\r\nProxy-authorization: Basic dXNlcjpzZWNyZXQ=\r\n") ==
            std::string::npos) {
            testsupport::sendAll(c, "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n");
            return;
        }
        testsupport::sendAll(c, "HTTP/1.0 200 OK\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n");
    });
    engine::ProxySettings settings;
    settings.address = "127.0.0.1:" + std::to_string(proxy.port());
    settings.port = 1;  // the port in the address wins
    settings.nameNeeded = true;
    settings.name = "user";
    settings.password = "secret";
    {
        HttpRun run("www.example.com/time", 0.0, true, settings);
        ASSERT_TRUE(run.finish());
        ASSERT_EQ(run.time.corrections().size(), 1u) << run.warning();
        EXPECT_NEAR(run.time.corrections()[0], 784111777 - platform::realUtcSeconds(), 2.0);
        EXPECT_EQ(
            request.rfind("GET http://www.example.com/time HTTP/1.0\r\nPragma: no-cache\r\n", 0),
            0u)
            << request;
        // The log's copy of the request keeps the password to itself.
        EXPECT_TRUE(
            run.messages.has(MessageLevel::Debug, "\r\nProxy-authorization: Basic ****\r\n"));
        EXPECT_FALSE(run.messages.has(MessageLevel::Debug, "dXNlcjpzZWNyZXQ="));
    }
    settings.password = "wrong";
    HttpRun refused("www.example.com/time", 0.0, true, settings);
    ASSERT_TRUE(refused.finish());
    EXPECT_EQ(refused.warning(), "Proxy authentication required (HTTP error 407)");
}
