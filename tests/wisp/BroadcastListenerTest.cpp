// The listener both Wisp programs share: which broadcasts set the clock, the answers to SNTP
// requests (also through real NTP clients), and the socket set-up. The test program runs in a
// network namespace of its own (in-netns), so port 123 is free.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>

#include "WispTestSupport.h"
#include "platform/ChildProcess.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"
#include "wire/NtpPacket.h"
#include "wisp/BroadcastListener.h"
#include "wisp/BroadcastSender.h"
#include "wisp/ClockTrim.h"

using platform::Endpoint;
using wire::NtpPacket;
using wisp::BroadcastListener;
using wisptest::numberAfter;
using wisptest::RecordingConsole;

namespace {

constexpr double kUnixToNtp = 2208988800.0;

Endpoint sender(const char* address) {
    return {*platform::parseDottedIPv4(address), 123};
}

// A mode-5 datagram whose transmit time is `ntpTime`.
NtpPacket broadcastAt(double ntpTime, int stratum) {
    NtpPacket::Bytes bytes{};
    bytes[0] = wire::kBroadcastByte0;
    bytes[NtpPacket::kStratum] = static_cast<uint8_t>(stratum);
    NtpPacket packet(bytes);
    packet.setTime(NtpPacket::kTransmit, ntpTime);
    return packet;
}

// A listener on a clock `offset` seconds off virtual true time, fed datagrams by hand.
struct Rig {
    explicit Rig(double offset = 0.0, double ppm = 0.0, int maxStep = 0)
        : clock(offset, ppm, time.source()),
          listener{console, clock, trim, {true, maxStep, true}} {}

    // True time as NTP seconds.
    double trueNtp() const { return time.now + kUnixToNtp; }
    // A broadcast of true time from `from`, received now.
    void broadcast(const char* from, int stratum, double senderError = 0.0) {
        const NtpPacket packet = broadcastAt(trueNtp() + senderError, stratum);
        listener.handle(packet.data(), wire::kNtpPacketSize, sender(from), wisp::Destination::Group,
                        wisp::ntpNow(clock));
    }

    wisptest::VirtualTime time;
    platform::SimulatedClock clock;
    RecordingConsole console;
    wisp::ClockTrim trim{clock, console};
    BroadcastListener listener;
};

}  // namespace

TEST(WispListener, TheServerLastAcceptedHoldsTheClockForSixHundredSeconds) {
    Rig rig(-1.0);
    rig.broadcast("10.0.0.1", 3);
    EXPECT_TRUE(rig.console.has("Delta is 1.000 second"));
    EXPECT_TRUE(rig.console.has("NTP Time broadcast received from 10.0.0.1"));

    struct Step {
        double after;  // seconds since the step before
        const char* from;
        int stratum;
        bool accepted;
    };
    const Step steps[] = {
        {10, "10.0.0.2", 3, false},   // same stratum, another server, within 600 s
        {10, "10.0.0.2", 4, false},   // higher stratum
        {10, "10.0.0.1", 3, true},    // the same server always
        {10, "10.0.0.2", 2, true},    // lower stratum: at once
        {599, "10.0.0.1", 3, false},  // now the other one holds it
        {2, "10.0.0.1", 3, true},     // 601 s of silence from it
        {0, "10.0.0.3", 0, false},    // stratum 0 changes nothing
        {0, "10.0.0.3", 17, false},   // nor does one above 16
        {0, "10.0.0.1", 16, true},    // 16 is still a stratum
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(s.from) + " stratum " + std::to_string(s.stratum));
        rig.time.now += s.after;
        rig.console.clear();
        rig.broadcast(s.from, s.stratum, 0.5);
        EXPECT_EQ(rig.console.count("Delta is"), s.accepted ? 1 : 0);
        EXPECT_TRUE(rig.console.has(std::string("NTP Time broadcast received from ") + s.from));
        EXPECT_TRUE(
            rig.console.has(std::string("NTP message received from ") + s.from + " mode 5"));
    }
}

TEST(WispListener, NeitherAShortDatagramNorAZeroTransmitTimeSetsTheClock) {
    Rig rig(-1.0);
    const NtpPacket whole = broadcastAt(rig.trueNtp(), 2);
    rig.listener.handle(whole.data(), 20, sender("10.0.0.1"), wisp::Destination::Group,
                        wisp::ntpNow(rig.clock));
    NtpPacket::Bytes zero{};
    zero[0] = wire::kBroadcastByte0;
    zero[NtpPacket::kStratum] = 2;
    rig.listener.handle(zero.data(), zero.size(), sender("10.0.0.1"), wisp::Destination::Group,
                        wisp::ntpNow(rig.clock));
    EXPECT_EQ(rig.console.count("Delta is"), 0);
    EXPECT_EQ(rig.console.count("NTP Time broadcast received from 10.0.0.1"), 2);
    EXPECT_NEAR(rig.clock.offset(), -1.0, 1e-9);
}

TEST(WispListener, JudgesEachDatagramByItsModeVersionDestinationAndMaxstep) {
    using Action = wisp::DatagramVerdict::Action;
    using wisp::Destination;
    constexpr double kNow = 3.9e9;
    struct Row {
        const char* what;
        uint8_t byte0;
        size_t size;
        int stratum;
        double ahead;  // transmit time - now; NaN: a zero transmit time
        Destination to;
        bool answers;
        int maxStep;
        Action expected;
    };
    const double zero = std::nan("");
    const Row rows[] = {
        {"request v3", 0x1B, 48, 0, 0, Destination::Unicast, true, 0, Action::Answer},
        {"request v1", 0x0B, 48, 0, 0, Destination::Unicast, true, 0, Action::Answer},
        {"request, wisp95", 0x1B, 48, 0, 0, Destination::Unicast, false, 0, Action::Ignore},
        {"short request", 0x1B, 47, 0, 0, Destination::Unicast, true, 0, Action::Ignore},
        {"request v0", 0x03, 48, 0, 0, Destination::Unicast, true, 0, Action::Ignore},
        {"request v5", 0x2B, 48, 0, 0, Destination::Unicast, true, 0, Action::Ignore},
        {"symmetric active", 0x19, 48, 0, 0, Destination::Unicast, true, 0, Action::Ignore},
        {"server reply", 0x1C, 48, 2, 1, Destination::Unicast, true, 0, Action::Ignore},
        {"mode 6", 0x1E, 48, 0, 0, Destination::Unicast, true, 0, Action::Ignore},
        {"mode 0", 0x18, 48, 0, 0, Destination::Unicast, true, 0, Action::Ignore},
        {"broadcast", 0x1D, 48, 3, 1, Destination::Group, true, 0, Action::Correct},
        {"broadcast, destination unknown", 0x1D, 48, 3, -4000, Destination::Unknown, false, 0,
         Action::Correct},
        {"broadcast sent to this host alone", 0x1D, 48, 3, 1, Destination::Unicast, true, 0,
         Action::Ignore},
        {"short broadcast", 0x1D, 47, 3, 1, Destination::Group, true, 0, Action::Ignore},
        {"broadcast without time", 0x1D, 48, 3, zero, Destination::Group, true, 0, Action::Ignore},
        {"broadcast stratum 0", 0x1D, 48, 0, 1, Destination::Group, true, 0, Action::Ignore},
        {"broadcast stratum 17", 0x1D, 48, 17, 1, Destination::Group, true, 0, Action::Ignore},
        {"within maxstep", 0x1D, 48, 3, 9.5, Destination::Group, true, 10, Action::Correct},
        {"at maxstep, behind", 0x1D, 48, 3, -10, Destination::Group, true, 10, Action::Correct},
        {"above maxstep", 0x1D, 48, 3, 10.5, Destination::Group, true, 10, Action::TooLarge},
        {"below -maxstep", 0x1D, 48, 3, -3600, Destination::Unknown, true, 10, Action::TooLarge},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        NtpPacket::Bytes bytes{};
        bytes[0] = row.byte0;
        bytes[NtpPacket::kStratum] = static_cast<uint8_t>(row.stratum);
        NtpPacket packet(bytes);
        if (!std::isnan(row.ahead)) {
            packet.setTime(NtpPacket::kTransmit, kNow + row.ahead);
        }
        const wisp::DatagramVerdict verdict = wisp::judgeDatagram(
            packet.data(), row.size, row.to, {row.answers, row.maxStep, false}, kNow);
        EXPECT_EQ(static_cast<int>(verdict.action), static_cast<int>(row.expected));
        if (row.expected == Action::Correct || row.expected == Action::TooLarge) {
            EXPECT_NEAR(verdict.delta, row.ahead, 0.002);
        }
    }
}

TEST(WispListener, MaxstepRefusesALargerCorrectionAndSaysHowLargeItWas) {
    Rig rig(-30.0, 0.0, 10);
    rig.broadcast("10.0.0.1", 3);
    // Refused, it holds the clock for nobody: another server of the same stratum is heard.
    rig.broadcast("10.0.0.2", 3);
    EXPECT_TRUE(rig.console.has(
        "Correction of 30.000 seconds from 10.0.0.1 refused: more than maxstep (10 s)"));
    EXPECT_TRUE(rig.console.has(
        "Correction of 30.000 seconds from 10.0.0.2 refused: more than maxstep (10 s)"));
    EXPECT_EQ(rig.console.count("Delta is"), 0);
    EXPECT_EQ(rig.clock.steps(), 0);
    EXPECT_NEAR(rig.clock.offset(), -30.0, 1e-9);
}

TEST(WispListener, OutsideDebugRunsAFloodOfRefusalsIsOneLineAMinute) {
    wisptest::VirtualTime time;
    platform::SimulatedClock clock(-30.0, 0.0, time.source());
    RecordingConsole console;
    wisp::ClockTrim trim{clock, console};
    BroadcastListener listener{console, clock, trim, {false, 10, false}};
    auto forged = [&](const char* from) {
        const NtpPacket packet = broadcastAt(time.now + kUnixToNtp, 3);
        listener.handle(packet.data(), wire::kNtpPacketSize, sender(from), wisp::Destination::Group,
                        wisp::ntpNow(clock));
    };
    for (int i = 0; i < 100; ++i) {
        forged("10.0.0.1");
    }
    time.now += 59.0;
    forged("10.0.0.2");
    EXPECT_EQ(console.count("Correction of 30.000 seconds from"), 1);
    time.now += 1.0;
    forged("10.0.0.3");
    EXPECT_EQ(console.count("Correction of 30.000 seconds from"), 2);
    EXPECT_TRUE(console.has("100 more corrections above maxstep refused"));
    EXPECT_TRUE(console.has(
        "Correction of 30.000 seconds from 10.0.0.3 refused: more than maxstep (10 s)"));
    EXPECT_EQ(clock.steps(), 0);
}

TEST(WispListener, BroadcastsBringTheClockInAndKeepItsRateTrimmed) {
    // 5 s behind and 150 ppm fast; a broadcast every 64 s.
    Rig rig(-5.0, 150.0);
    for (int i = 0; i < 200; ++i) {
        rig.broadcast("10.0.0.1", 15);
        if (i == 0) {
            EXPECT_EQ(rig.clock.steps(), 1);
            EXPECT_NEAR(rig.clock.offset(), 0.0, 0.002);
        }
        if (i >= 60) {
            EXPECT_LT(std::fabs(rig.clock.offset()), 0.010) << "broadcast " << i;
        }
        rig.time.now += 64.0;
    }
    EXPECT_EQ(rig.clock.steps(), 1);
    // The trim has taken out most of the 150 ppm (about 23 units per tick).
    platform::TimeAdjustment current;
    ASSERT_TRUE(rig.clock.getAdjustment(current).ok());
    const double ppm = (static_cast<double>(current.adjustment) / current.increment - 1.0) * 1e6;
    EXPECT_NEAR(ppm, -150.0, 75.0);
}

namespace {

// A listener on the NTP port, running on a thread until the fixture ends.
class RunningListener : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(listener.open()) << console.lines().front();
        thread = std::make_unique<platform::Thread>([this] { listener.run(stop); });
    }
    void TearDown() override {
        stop.set();
        thread.reset();
    }

    platform::SimulatedClock clock{-5.0};
    RecordingConsole console;
    wisp::ClockTrim trim{clock, console};
    BroadcastListener listener{console, clock, trim, {true, 0, true}};
    platform::Event stop{true};
    std::unique_ptr<platform::Thread> thread;
};

}  // namespace

TEST_F(RunningListener, AnswersSntpRequestsAsAStratumFifteenLocalClock) {
    platform::Socket client = testsupport::boundUdp();
    NtpPacket::Bytes request{};
    request[0] = 0x23;  // version 4, mode 3
    request[NtpPacket::kPoll] = 6;
    const uint8_t transmit[8] = {0xE0, 1, 2, 3, 4, 5, 6, 7};
    std::memcpy(&request[NtpPacket::kTransmit], transmit, 8);
    ASSERT_TRUE(client.sendTo(request.data(), request.size(), testsupport::loopback(123)).ok());

    std::array<uint8_t, 64> reply{};
    const auto got =
        client.receiveFrom(reply.data(), reply.size(), nullptr, platform::Millis(5000));
    ASSERT_TRUE(got.ok());
    ASSERT_EQ(got.count, 48);
    const NtpPacket answer = *NtpPacket::fromBytes(reply.data(), 48);
    EXPECT_EQ(reply[0], 28);
    EXPECT_EQ(answer.stratum(), 15);
    EXPECT_EQ(answer.poll(), 6);
    EXPECT_EQ(answer.precision(), -8);
    EXPECT_EQ(std::memcmp(&reply[NtpPacket::kReferenceId], "LOCL", 4), 0);
    EXPECT_EQ(std::memcmp(&reply[NtpPacket::kOriginate], transmit, 8), 0);
    EXPECT_TRUE(answer.sameStamp(NtpPacket::kReferenceTime, answer, NtpPacket::kTransmit));
    // The listener's own (simulated, 5 s slow) clock, to the millisecond.
    const double transmitted = wire::decodeTimestamp(answer.timestamp(NtpPacket::kTransmit));
    const double received = wire::decodeTimestamp(answer.timestamp(NtpPacket::kReceive));
    EXPECT_NEAR(transmitted, platform::realUtcSeconds() + kUnixToNtp - 5.0, 0.5);
    EXPECT_LE(received, transmitted);
    EXPECT_TRUE(testsupport::eventually(
        [&] { return console.has("NTP message received from 127.0.0.1 mode 3"); }));
}

TEST_F(RunningListener, TakesOnlyBroadcastsSentToABroadcastOrMulticastAddress) {
    // A subnet on loopback, so that it has a broadcast address of its own: 10.9.9.255.
    platform::ChildProcess ip;
    ASSERT_TRUE(
        ip.start("/usr/sbin/ip", {"addr", "add", "10.9.9.1/24", "brd", "+", "dev", "lo"}).ok());
    int code = -1;
    ASSERT_TRUE(ip.wait(platform::Millis(10000), code));
    ASSERT_EQ(code, 0) << ip.errors();

    platform::Socket out;
    ASSERT_TRUE(out.open(platform::Socket::Type::Udp).ok());
    ASSERT_TRUE(out.setBroadcast(true).ok());
    platform::Socket client = testsupport::boundUdp();
    // Lower strata one after another, so that each new sender is heard at once.
    auto send = [&](const char* to, int stratum) {
        const NtpPacket packet = broadcastAt(platform::realUtcSeconds() + kUnixToNtp, stratum);
        ASSERT_TRUE(out.sendTo(packet.data(), 48, {*platform::parseDottedIPv4(to), 123}).ok());
    };

    send("127.0.0.1", 5);
    // Answered only after the listener has dealt with the datagram before it.
    const auto request = NtpPacket::request(3.9e9);
    ASSERT_TRUE(client.sendTo(request.data(), 48, testsupport::loopback(123)).ok());
    std::array<uint8_t, 48> reply{};
    ASSERT_TRUE(client.receiveFrom(reply.data(), 48, nullptr, platform::Millis(5000)).ok());
    EXPECT_TRUE(console.has("NTP Time broadcast from 127.0.0.1 ignored: sent to this host alone"));
    EXPECT_EQ(console.count("Delta is"), 0);

    const struct {
        const char* to;
        int stratum;
    } groups[] = {{"255.255.255.255", 4}, {"224.0.1.1", 3}, {"10.9.9.255", 2}};
    int taken = 0;
    for (const auto& group : groups) {
        SCOPED_TRACE(group.to);
        send(group.to, group.stratum);
        ++taken;
        EXPECT_TRUE(testsupport::eventually([&] { return console.count("Delta is") == taken; }))
            << console.count("Delta is");
    }
    EXPECT_NEAR(clock.offset(), 0.0, 0.1);
}

TEST(WispListenerSocket, WithoutAMulticastRouteItSaysSoAndStillTakesBroadcasts) {
    auto route = [](const char* verb) {
        platform::ChildProcess ip;
        EXPECT_TRUE(ip.start("/usr/sbin/ip", {"route", verb, "224.0.0.0/4", "dev", "lo"}).ok());
        int code = -1;
        EXPECT_TRUE(ip.wait(platform::Millis(10000), code));
        return code == 0;
    };
    ASSERT_TRUE(route("del"));
    platform::SimulatedClock clock{-5.0};
    RecordingConsole console;
    wisp::ClockTrim trim{clock, console};
    BroadcastListener listener{console, clock, trim, {false, 0, true}};
    const bool opened = listener.open();
    EXPECT_TRUE(route("add"));
    ASSERT_TRUE(opened);
    EXPECT_EQ(console.count("Couldn't add membership of multicast group ("), 1);

    platform::Socket out;
    ASSERT_TRUE(out.open(platform::Socket::Type::Udp).ok());
    ASSERT_TRUE(out.setBroadcast(true).ok());
    const NtpPacket packet = broadcastAt(platform::realUtcSeconds() + kUnixToNtp, 2);
    ASSERT_TRUE(
        out.sendTo(packet.data(), 48, {*platform::parseDottedIPv4("255.255.255.255"), 123}).ok());
    platform::Event stop{true};
    platform::Thread thread([&] { listener.run(stop); });
    EXPECT_TRUE(testsupport::eventually([&] { return console.count("Delta is") == 1; }));
    stop.set();
}

TEST_F(RunningListener, AReceiveFailureIsPrintedOnceAndTheLoopGoesOnUntilTheStop) {
    // Every receive of an aborted socket fails at once.
    listener.socket().abort();
    ASSERT_TRUE(testsupport::eventually([&] { return console.has("NTP server recvfrom failed"); }));
    // Several 100 ms pauses later, still the one line, and the stop still ends the loop.
    stop.wait(platform::Millis(500));
    EXPECT_EQ(console.count("NTP server recvfrom failed"), 1);
}

TEST_F(RunningListener, TheTakenPortIsReported) {
    RecordingConsole second;
    wisp::ClockTrim trim2(clock, second);
    BroadcastListener another(second, clock, trim2, {true, 0, true});
    EXPECT_FALSE(another.open());
    EXPECT_EQ(second.lines(), std::vector<std::string>{
                                  "Couldn't bind NTP socket. (10048)  Is Wisp or Kronel running?"});
}

TEST_F(RunningListener, NtpdigAndChronydAcceptTheAnswers) {
    // ntpdig asks port 123 only; it prints the offset of our clock, 5 s slow.
    platform::ChildProcess ntpdig;
    ASSERT_TRUE(ntpdig.start("/usr/bin/ntpdig", {"-t", "3", "127.0.0.1"}).ok());
    int code = -1;
    ASSERT_TRUE(ntpdig.wait(platform::Millis(15000), code));
    EXPECT_EQ(code, 0) << ntpdig.output() << ntpdig.errors();
    EXPECT_NEAR(numberAfter(ntpdig.output(), "(+0000) "), -5.0, 0.1) << ntpdig.output();
    EXPECT_NE(ntpdig.output().find(" s15 "), std::string::npos) << ntpdig.output();

    // chronyd only measures (-Q): it takes us as a source and finds its clock 5 s ahead of ours.
    testsupport::TempDir dir("kronel-wisp-chronyd-");
    platform::ChildProcess chronyd;
    ASSERT_TRUE(chronyd
                    .start("/usr/sbin/chronyd",
                           {"-Q", "-u", "root", "-t", "20", "pidfile " + dir.file("pid"),
                            "server 127.0.0.1 iburst maxsamples 2"})
                    .ok());
    ASSERT_TRUE(chronyd.wait(platform::Millis(30000), code));
    const std::string said = chronyd.output() + chronyd.errors();
    EXPECT_EQ(code, 0) << said;
    EXPECT_NEAR(numberAfter(said, "System clock wrong by "), -5.0, 0.1) << said;
}

TEST(WispSender, SendsAStratumFifteenBroadcastOfItsClock) {
    platform::SimulatedClock clock(2.0);
    RecordingConsole console;
    wisp::BroadcastSender broadcaster(console, clock);
    platform::Socket receiver;
    ASSERT_TRUE(receiver.open(platform::Socket::Type::Udp).ok());
    ASSERT_TRUE(receiver.bind({0, 123}).ok());
    ASSERT_TRUE(broadcaster.open());
    broadcaster.sendOne();

    std::array<uint8_t, 64> datagram{};
    const auto got =
        receiver.receiveFrom(datagram.data(), datagram.size(), nullptr, platform::Millis(5000));
    ASSERT_TRUE(got.ok()) << got.error;
    ASSERT_EQ(got.count, 48);
    EXPECT_EQ(datagram[0], 29);
    EXPECT_EQ(datagram[1], 15);
    for (size_t i = 2; i < NtpPacket::kTransmit; ++i) {
        EXPECT_EQ(datagram[i], 0) << "byte " << i;
    }
    const NtpPacket packet = *NtpPacket::fromBytes(datagram.data(), 48);
    EXPECT_NEAR(wire::decodeTimestamp(packet.timestamp(NtpPacket::kTransmit)),
                platform::realUtcSeconds() + kUnixToNtp + 2.0, 0.5);
    EXPECT_TRUE(console.lines().empty());
}
