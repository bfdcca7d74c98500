#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "core/TimeValue.h"
#include "engine/DialupGate.h"
#include "netclients/CSNTP2Client.h"
#include "platform/Seams.h"
#include "platform/SimulatedClock.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#ifndef _WIN32
#include "support/Chronyd.h"
#endif
#include "support/Loopback.h"
#include "support/RecordingTime.h"
#include "support/SilentNameServer.h"

using namespace netclients;
using namespace wire;
using core::MessageLevel;
using platform::Millis;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testsupport::loopback;
using testsupport::RecordingTime;

namespace {

constexpr Millis kPatience{10000};  // a bound on waits for the client, never an assertion

constexpr double kEra = 4294967296.0;

struct Line {
    MessageLevel level;
    std::string source;
    std::string text;
};

class RecordingMessages : public core::MessageHandler {
public:
    void message(MessageLevel level, const std::string& source, const std::string& text) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back({level, source, text});
        }
        changed_.notify_all();
    }
    std::vector<Line> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    int count(MessageLevel level, const std::string& text) {
        int n = 0;
        for (const Line& l : lines()) {
            n += (l.level == level && l.text == text) ? 1 : 0;
        }
        return n;
    }
    bool has(MessageLevel level, const std::string& text) { return count(level, text) > 0; }
    bool waitFor(MessageLevel level, const std::string& text) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] {
            for (const Line& l : lines_) {
                if (l.level == level && l.text == text) {
                    return true;
                }
            }
            return false;
        });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Line> lines_;
};

// Points the client's "ntp"/"udp" lookup at a test port for the life of the object.
class NtpPortOverride {
public:
    explicit NtpPortOverride(uint16_t port) {
        platform::setServiceOverrides("ntp/udp=" + std::to_string(port));
    }
    ~NtpPortOverride() { platform::setServiceOverrides(""); }
};

class TimeScale {
public:
    explicit TimeScale(double scale) : previous_(platform::timeScale()) {
        platform::setTimeScale(scale);
    }
    ~TimeScale() { platform::setTimeScale(previous_); }

private:
    double previous_;
};

// Waits until the client's thread has ended; false if it is still running after the bound.
bool waitUntilEnded(const CSNTP2Client& client) {
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (client.running() && std::chrono::steady_clock::now() < end) {
        platform::sleepFor(Millis(5));
    }
    return !client.running();
}

// A scripted NTP server on loopback: every request goes to the responder, which answers (or
// not) from the server's socket or any other.
class FakeNtpServer {
public:
    using Responder = std::function<void(platform::Socket& socket, const platform::Endpoint& from,
                                         const NtpPacket& request)>;

    explicit FakeNtpServer(Responder responder) : responder_(std::move(responder)) {
        EXPECT_TRUE(socket_.open(platform::Socket::Type::Udp).ok());
        EXPECT_TRUE(socket_.bind(loopback(0)).ok());
        port_ = socket_.localEndpoint().port;
        thread_ = std::make_unique<platform::Thread>([this] { serve(); });
    }
    ~FakeNtpServer() {
        stop_.set();
        thread_.reset();
    }

    uint16_t port() const { return port_; }
    int requests() const { return requests_.load(); }
    // Set when the first request has arrived.
    platform::Event& gotRequest() { return gotRequest_; }

private:
    void serve() {
        while (!stop_.isSet()) {
            uint8_t buffer[kNtpPacketSize];
            platform::Endpoint from;
            const auto got = socket_.receiveFrom(buffer, sizeof buffer, &from, Millis(100), &stop_);
            if (!got.ok()) {
                continue;
            }
            if (auto request = NtpPacket::fromBytes(buffer, static_cast<size_t>(got.count))) {
                ++requests_;
                gotRequest_.set();
                responder_(socket_, from, *request);
            }
        }
    }

    Responder responder_;
    platform::Socket socket_;
    uint16_t port_ = 0;
    platform::Event stop_{true};
    platform::Event gotRequest_{true};
    std::atomic<int> requests_{0};
    std::unique_ptr<platform::Thread> thread_;
};

// The answer of a synchronised stratum-2 server whose clock reads `serverTime`.
NtpPacket answer(const NtpPacket& request, double serverTime, uint8_t stratum = 2) {
    NtpPacket::ServerFields fields;
    fields.stratum = stratum;
    fields.pollExponent = 6;
    fields.referenceId = core::referenceIdFromText("GPS");
    fields.referenceTime = serverTime;
    fields.receiveTime = serverTime;
    fields.transmitTime = serverTime;
    return NtpPacket::serverReply(request, fields);
}

void send(platform::Socket& socket, const NtpPacket& packet, const platform::Endpoint& to) {
    EXPECT_TRUE(socket.sendTo(packet.data(), kNtpPacketSize, to).ok());
}

// Everything a test needs around one client.
struct ClientRig {
    explicit ClientRig(double clockOffset = 0.0) : clock(clockOffset), time(clock) {}
    std::unique_ptr<CSNTP2Client> make(const std::string& server, int pollMinutes, bool rejectNtp,
                                       Millis replyTimeout, engine::DialupGate* gate = nullptr) {
        auto client =
            std::make_unique<CSNTP2Client>(messages, time, server, pollMinutes, rejectNtp, gate);
        client->setReplyTimeout(replyTimeout);
        return client;
    }
    platform::SimulatedClock clock;
    RecordingMessages messages;
    RecordingTime time;
};

}  // namespace

// chronyd is started as a POSIX child process; the Windows build has the scripted servers.
#ifndef _WIN32
TEST(CSNTP2Client, TakesTheCorrectionAndReferenceFromChronyd) {
    testsupport::Chronyd chronyd;
    ASSERT_TRUE(chronyd.waitUntilServing()) << chronyd.log();
    NtpPortOverride port(chronyd.port());

    ClientRig rig(-12.5);  // our clock is 12.5 s behind the host's
    auto client = rig.make("127.0.0.1", 0, true, Millis(2000));
    client->start();
    ASSERT_TRUE(rig.time.waitForResults(1, kPatience));
    client->stop();

    ASSERT_EQ(rig.time.corrections().size(), 1u) << chronyd.log();
    EXPECT_NEAR(rig.time.corrections()[0], 12.5, 0.05);
    EXPECT_EQ(rig.time.failures(), 0u);
    EXPECT_EQ(rig.time.referenceId(), (core::ReferenceId{127, 0, 0, 1}));
    EXPECT_TRUE(rig.messages.has(MessageLevel::Debug, "started"));
    EXPECT_TRUE(rig.messages.has(MessageLevel::Info, "connecting to 127.0.0.1"));
    bool sawDiagnostic = false;
    for (const Line& l : rig.messages.lines()) {
        EXPECT_EQ(l.source, "SNTP Client");
        if (l.level == MessageLevel::Debug &&
            l.text.rfind("Ver: 3 Stratum: 3 Mode: 4 Poll: ", 0) == 0) {
            sawDiagnostic = true;
        }
    }
    EXPECT_TRUE(sawDiagnostic);
}
#endif  // _WIN32

TEST(CSNTP2Client, StartsWithAFifteenSecondReplyTimeout) {
    ClientRig rig;
    CSNTP2Client client(rig.messages, rig.time, "127.0.0.1", 120, false, nullptr);
    EXPECT_EQ(client.replyTimeout(), Millis(15000));
    EXPECT_EQ(client.sourceName(), "SNTP Client");
    EXPECT_EQ(client.pollMinutes(), 120);
}

TEST(CSNTP2Client, SetsTheClockFromAServerAnsweringItsRequest) {
    ClientRig rig;
    FakeNtpServer server(
        [&](platform::Socket& s, const platform::Endpoint& from, const NtpPacket& request) {
            send(s, answer(request, core::timeValueNow(rig.clock) - 3.25), from);
        });
    NtpPortOverride port(server.port());
    auto client = rig.make("127.0.0.1", 0, true, Millis(2000));
    client->start();
    ASSERT_TRUE(rig.time.waitForResults(1, kPatience));
    ASSERT_TRUE(waitUntilEnded(*client)) << "a poll interval of 0 runs once";
    ASSERT_EQ(rig.time.corrections().size(), 1u);
    EXPECT_NEAR(rig.time.corrections()[0], -3.25, 0.01);
    EXPECT_EQ(server.requests(), 1);
    EXPECT_EQ(rig.messages.count(MessageLevel::Info, "connecting to 127.0.0.1"), 1);
    EXPECT_TRUE(
        rig.messages.has(MessageLevel::Debug, "Ver: 3 Stratum: 2 Mode: 4 Poll: 6 Precision -8"));
}

// Replies that a synchronised server never sends, and whether `rejectntp` lets them through.
struct UnsynchronisedCase {
    const char* what;
    std::function<void(NtpPacket::Bytes&)> spoil;
};

class CSNTP2ClientRejectNtp
    : public ::testing::TestWithParam<std::tuple<UnsynchronisedCase, bool>> {};

TEST_P(CSNTP2ClientRejectNtp, RefusesUnsynchronisedServersOnlyWhenAsked) {
    const auto& [spoiled, rejectNtp] = GetParam();
    ClientRig rig;
    FakeNtpServer server(
        [&](platform::Socket& s, const platform::Endpoint& from, const NtpPacket& request) {
            NtpPacket::Bytes bytes = answer(request, core::timeValueNow(rig.clock) + 1.0).bytes();
            spoiled.spoil(bytes);
            send(s, NtpPacket(bytes), from);
        });
    NtpPortOverride port(server.port());
    auto client = rig.make("127.0.0.1", 0, rejectNtp, Millis(2000));
    client->start();
    ASSERT_TRUE(rig.time.waitForResults(1, kPatience));
    client->stop();
    if (rejectNtp) {
        EXPECT_TRUE(
            rig.messages.has(MessageLevel::Warn, "NTP server 127.0.0.1 is not synchronized"))
            << spoiled.what;
        EXPECT_TRUE(rig.time.corrections().empty()) << spoiled.what;
        EXPECT_EQ(rig.time.failures(), 1u) << spoiled.what;
        EXPECT_EQ(rig.time.referenceId(), core::referenceIdFromText("LOCL"));
    } else {
        EXPECT_EQ(rig.time.corrections().size(), 1u) << spoiled.what;
        EXPECT_EQ(rig.time.failures(), 0u) << spoiled.what;
        EXPECT_EQ(rig.time.referenceId(), (core::ReferenceId{127, 0, 0, 1}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    CSNTP2Client, CSNTP2ClientRejectNtp,
    ::testing::Combine(
        ::testing::Values(
            UnsynchronisedCase{"leap indicator 3", [](NtpPacket::Bytes& b) { b[0] |= 0xC0; }},
            UnsynchronisedCase{"stratum 0", [](NtpPacket::Bytes& b) { b[1] = 0; }},
            UnsynchronisedCase{"stratum 16", [](NtpPacket::Bytes& b) { b[1] = 16; }},
            UnsynchronisedCase{
                "zero transmit seconds",
                [](NtpPacket::Bytes& b) { std::fill_n(&b[NtpPacket::kTransmit], 4, uint8_t{0}); }}),
        ::testing::Bool()));

TEST(CSNTP2Client, ALateReplyIsNoReply) {
    ClientRig rig;
    const Millis timeout(150);
    FakeNtpServer server(
        [&](platform::Socket& s, const platform::Endpoint& from, const NtpPacket& request) {
            platform::sleepFor(timeout * 3);
            send(s, answer(request, core::timeValueNow(rig.clock)), from);
        });
    NtpPortOverride port(server.port());
    auto client = rig.make("127.0.0.1", 0, false, timeout);
    client->start();
    ASSERT_TRUE(rig.time.waitForResults(1, kPatience));
    ASSERT_TRUE(waitUntilEnded(*client));
    EXPECT_TRUE(rig.messages.has(MessageLevel::Warn, "No reply from 127.0.0.1"));
    EXPECT_EQ(rig.time.failures(), 1u);
    EXPECT_TRUE(rig.time.corrections().empty());
}

TEST(CSNTP2Client, IgnoresAReplyFromAnotherSocketAndKeepsWaiting) {
    ClientRig rig;
    platform::Socket forger;
    ASSERT_TRUE(forger.open(platform::Socket::Type::Udp).ok());
    ASSERT_TRUE(forger.bind(loopback(0)).ok());
    FakeNtpServer server(
        [&](platform::Socket& s, const platform::Endpoint& from, const NtpPacket& request) {
            const double now = core::timeValueNow(rig.clock);
            // The forgery echoes the right originate but comes from the wrong port, first.
            send(forger, answer(request, now + 1000.0), from);
            platform::sleepFor(Millis(50));
            send(s, answer(request, now + 2.0), from);
        });
    NtpPortOverride port(server.port());
    auto client = rig.make("127.0.0.1", 0, true, Millis(3000));
    client->start();
    ASSERT_TRUE(rig.time.waitForResults(1, kPatience));
    client->stop();
    ASSERT_EQ(rig.time.corrections().size(), 1u);
    EXPECT_NEAR(rig.time.corrections()[0], 2.0, 0.05);
    const std::string ignored =
        "Ignoring datagram from 127.0.0.1:" + std::to_string(forger.localEndpoint().port) +
        ", not the server asked";
    EXPECT_TRUE(rig.messages.has(MessageLevel::Debug, ignored));
}

TEST(CSNTP2Client, IgnoresAReplyWhoseOriginateIsNotItsRequest) {
    ClientRig rig;
    FakeNtpServer server(
        [&](platform::Socket& s, const platform::Endpoint& from, const NtpPacket& request) {
            const double now = core::timeValueNow(rig.clock);
            // An answer to an older request, from the right socket.
            NtpPacket stale = answer(NtpPacket::request(now - 64.0), now - 500.0);
            send(s, stale, from);
            platform::sleepFor(Millis(50));
            send(s, answer(request, now - 1.5), from);
        });
    NtpPortOverride port(server.port());
    auto client = rig.make("127.0.0.1", 0, true, Millis(3000));
    client->start();
    ASSERT_TRUE(rig.time.waitForResults(1, kPatience));
    client->stop();
    ASSERT_EQ(rig.time.corrections().size(), 1u);
    EXPECT_NEAR(rig.time.corrections()[0], -1.5, 0.05);
    EXPECT_TRUE(rig.messages.has(MessageLevel::Debug,
                                 "Ignoring reply from 127.0.0.1 that does not answer our request"));
}

TEST(CSNTP2Client, OnlyForgedRepliesEndInNoReply) {
    ClientRig rig;
    platform::Socket forger;
    ASSERT_TRUE(forger.open(platform::Socket::Type::Udp).ok());
    ASSERT_TRUE(forger.bind(loopback(0)).ok());
    FakeNtpServer server(
        [&](platform::Socket& s, const platform::Endpoint& from, const NtpPacket& request) {
            const double now = core::timeValueNow(rig.clock);
            send(forger, answer(request, now + 100.0), from);
            NtpPacket::Bytes wrong = answer(request, now + 100.0).bytes();
            wrong[NtpPacket::kOriginate + 7] ^= 1;
            send(s, NtpPacket(wrong), from);
            uint8_t shortDatagram[20] = {0x1C};
            EXPECT_TRUE(s.sendTo(shortDatagram, sizeof shortDatagram, from).ok());
        });
    NtpPortOverride port(server.port());
    auto client = rig.make("127.0.0.1", 0, false, Millis(300));
    client->start();
    ASSERT_TRUE(rig.time.waitForResults(1, kPatience));
    ASSERT_TRUE(waitUntilEnded(*client));
    EXPECT_TRUE(rig.messages.has(MessageLevel::Warn, "No reply from 127.0.0.1"));
    EXPECT_TRUE(rig.time.corrections().empty());
    EXPECT_TRUE(rig.messages.has(MessageLevel::Debug, "Ignoring 20-byte datagram from 127.0.0.1"));
}

// The status lines "Waiting for 1 minute" between the first failure and the next attempt
// count the poll waits (a 2-minute interval shows one line per wait).
int waitsAfterFirst(const std::vector<Line>& lines, const std::string& failure) {
    int waits = 0;
    bool failed = false;
    for (const Line& l : lines) {
        if (!failed) {
            failed = l.text == failure;
        } else if (l.level == MessageLevel::Status && l.text == "Waiting for 1 minute") {
            ++waits;
        } else if (l.level == MessageLevel::Info && l.text == "connecting to 127.0.0.1") {
            return waits;
        }
    }
    return -1;
}

TEST(CSNTP2Client, NoReplyWaitsTwoPollIntervalsOtherFailuresOne) {
    TimeScale fast(600000);
    ClientRig rig;
    FakeNtpServer silent([](platform::Socket&, const platform::Endpoint&, const NtpPacket&) {});
    {
        NtpPortOverride port(silent.port());
        auto client = rig.make("127.0.0.1", 2, false, Millis(50));
        client->start();
        ASSERT_TRUE(rig.time.waitForResults(2, kPatience));
        client->stop();
        EXPECT_EQ(waitsAfterFirst(rig.messages.lines(), "No reply from 127.0.0.1"), 2);
    }

    ClientRig second;
    FakeNtpServer unsynchronised(
        [&](platform::Socket& s, const platform::Endpoint& from, const NtpPacket& request) {
            send(s, answer(request, core::timeValueNow(second.clock), 16), from);
        });
    NtpPortOverride port(unsynchronised.port());
    auto client = second.make("127.0.0.1", 2, true, Millis(2000));
    client->start();
    ASSERT_TRUE(second.time.waitForResults(2, kPatience));
    client->stop();
    EXPECT_EQ(waitsAfterFirst(second.messages.lines(), "NTP server 127.0.0.1 is not synchronized"),
              1);
}

TEST(CSNTP2Client, AnUnresolvableNameIsReportedWithoutSending) {
    ClientRig rig;
    auto client = rig.make("no-such-host.invalid", 0, false, Millis(200));
    client->start();
    ASSERT_TRUE(rig.time.waitForResults(1, kPatience));
    ASSERT_TRUE(waitUntilEnded(*client));
    EXPECT_EQ(rig.time.failures(), 1u);
    bool warned = false;
    for (const Line& l : rig.messages.lines()) {
        if (l.level == MessageLevel::Warn) {
            EXPECT_THAT(l.text,
                        StartsWith("Couldn't determine address for no-such-host.invalid, ("));
            EXPECT_THAT(l.text, HasSubstr("WSAHOST_NOT_FOUND"));
            warned = true;
        }
    }
    EXPECT_TRUE(warned);
}

TEST(CSNTP2Client, AFailedSendIsReported) {
    // Broadcasting needs a socket option the client never sets, so the send fails locally.
    ClientRig rig;
    auto client = rig.make("255.255.255.255", 0, false, Millis(200));
    client->start();
    ASSERT_TRUE(rig.time.waitForResults(1, kPatience));
    ASSERT_TRUE(waitUntilEnded(*client));
    EXPECT_TRUE(
        rig.messages.has(MessageLevel::Warn, "sendto failed(WSAEACCES: Permission denied)"));
    EXPECT_EQ(rig.time.failures(), 1u);
    EXPECT_FALSE(rig.messages.has(MessageLevel::Warn, "No reply from 255.255.255.255"));
}

TEST(CSNTP2Client, AnEmptyServerNameEndsAtOnceWithoutStarting) {
    ClientRig rig;
    CSNTP2Client client(rig.messages, rig.time, "", 1, false, nullptr);
    client.run();  // the thread body, on this thread: it must return by itself
    EXPECT_TRUE(rig.messages.lines().empty());
    EXPECT_EQ(rig.time.failures(), 0u);
}

TEST(CSNTP2Client, StopEndsTheWaitForAReplyQuietly) {
    ClientRig rig;
    FakeNtpServer silent([](platform::Socket&, const platform::Endpoint&, const NtpPacket&) {});
    NtpPortOverride port(silent.port());
    auto client = rig.make("127.0.0.1", 60, false, CSNTP2Client::kDefaultReplyTimeout);
    client->start();
    ASSERT_TRUE(silent.gotRequest().wait(kPatience));
    client->stop();
    EXPECT_FALSE(client->running());
    EXPECT_FALSE(rig.messages.has(MessageLevel::Debug, "Killing"));
    EXPECT_FALSE(rig.messages.has(MessageLevel::Warn, "No reply from 127.0.0.1"));
    EXPECT_EQ(rig.time.failures(), 0u);
}

#ifndef _WIN32  // the silent name server lives in a Linux network namespace
TEST(CSNTP2Client, StopEndsANameLookupTheNameServerNeverAnswers) {
    if (!testsupport::insideSilentNameServer()) {
        return;
    }
    ClientRig rig;
    auto client =
        rig.make(testsupport::kSilentlyResolvedName, 60, false, CSNTP2Client::kDefaultReplyTimeout);
    client->start();
    ASSERT_TRUE(rig.messages.waitFor(
        MessageLevel::Info, std::string("connecting to ") + testsupport::kSilentlyResolvedName));
    platform::sleepFor(Millis(200));  // into the lookup, which would take the resolver 10 s
    client->stop();
    EXPECT_FALSE(client->running());
    // Back within the stop time limit, without a word about the lookup it left.
    EXPECT_FALSE(rig.messages.has(MessageLevel::Debug, "Killing"));
    for (const Line& l : rig.messages.lines()) {
        EXPECT_NE(l.level, MessageLevel::Warn) << l.text;
    }
    EXPECT_EQ(rig.time.failures(), 0u);
}
#endif  // _WIN32

TEST(CSNTP2Client, WaitsForTheDialupConnection) {
    TimeScale fast(600000);
    std::atomic<bool> linkUp{false};
    engine::DialupGate gate(platform::DialupWatcher([&linkUp] {
        return std::optional<std::vector<platform::NetworkInterface>>(
            {{"lo", false, true, true}, {"ppp0", true, linkUp.load(), linkUp.load()}});
    }));
    gate.setWatching(true);
    ClientRig rig;
    FakeNtpServer server(
        [&](platform::Socket& s, const platform::Endpoint& from, const NtpPacket& request) {
            send(s, answer(request, core::timeValueNow(rig.clock) + 0.5), from);
        });
    NtpPortOverride port(server.port());
    auto client = rig.make("127.0.0.1", 0, false, Millis(2000), &gate);
    client->start();
    ASSERT_TRUE(rig.messages.waitFor(MessageLevel::Status, "No active dialup connection"));
    EXPECT_EQ(server.requests(), 0);
    EXPECT_FALSE(rig.messages.has(MessageLevel::Info, "connecting to 127.0.0.1"));
    linkUp.store(true);
    ASSERT_TRUE(rig.time.waitForResults(1, kPatience));
    client->stop();
    EXPECT_EQ(rig.time.failures(), 0u) << "waiting for the link is no failure";
    ASSERT_EQ(rig.time.corrections().size(), 1u);
    EXPECT_NEAR(rig.time.corrections()[0], 0.5, 0.05);
}

// Our clock and the server's on either side of 2036-02-07 06:28:16 UTC.
class CSNTP2ClientEra : public ::testing::TestWithParam<std::pair<double, double>> {};

TEST_P(CSNTP2ClientEra, CorrectionStaysRightAcrossTheEnd) {
    const auto [ourSide, serverAhead] = GetParam();
    const double shift = (kEra - core::kNtpUnixOffset) + ourSide - platform::realUtcSeconds();
    const platform::TrueTimeSource in2036 = [shift] { return platform::realUtcSeconds() + shift; };
    platform::SimulatedClock ours(0, 0, in2036);
    platform::SimulatedClock theirs(serverAhead, 0, in2036);
    RecordingMessages messages;
    RecordingTime time(ours);
    FakeNtpServer server(
        [&](platform::Socket& s, const platform::Endpoint& from, const NtpPacket& request) {
            send(s, answer(request, core::timeValueNow(theirs)), from);
        });
    NtpPortOverride port(server.port());
    CSNTP2Client client(messages, time, "127.0.0.1", 0, true, nullptr);
    client.setReplyTimeout(Millis(2000));
    client.start();
    ASSERT_TRUE(time.waitForResults(1, kPatience));
    client.stop();
    ASSERT_EQ(time.corrections().size(), 1u);
    EXPECT_NEAR(time.corrections()[0], serverAhead, 0.05);
}

INSTANTIATE_TEST_SUITE_P(CSNTP2Client, CSNTP2ClientEra,
                         ::testing::Values(std::make_pair(-2.0, 4.0),  // we are before, it after
                                           std::make_pair(2.0, -4.0),  // we are after, it before
                                           std::make_pair(-1.0, 3.5)));
