#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/ChildProcess.h"
#include "platform/Registry.h"
#include "platform/Socket.h"

#include "support/Chronyd.h"
#include "support/Peers.h"

using namespace std::chrono_literals;
using platform::ChildProcess;
using testsupport::Chronyd;
using testsupport::eventually;
using testsupport::TempDir;

namespace {

const std::string kParameters =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Kronel\\Parameters";

struct Entry {
    std::string name;
    std::string addr;
    int order;
    int protocol = 0;
};

std::string dword(int value) {
    char text[32];
    std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(value));
    return text;
}

// A store with the given parameters and server entries. The servers stay off: these tests are
// about the client side and must not compete for ports.
std::string storeText(const std::map<std::string, int>& parameters,
                      const std::vector<Entry>& entries) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[" + kParameters + "]\r\n";
    std::map<std::string, int> all = {{"TCPServer", 0},    {"UDPServer", 0},  {"867TCPServer", 0},
                                      {"867UDPServer", 0}, {"SNTPServer", 0}, {"LogtoEvtlog", 0}};
    for (const auto& [name, value] : parameters) {
        all[name] = value;
    }
    for (const auto& [name, value] : all) {
        text += "\"" + name + "\"=" + dword(value) + "\r\n";
    }
    for (const Entry& e : entries) {
        text += "\r\n[" + kParameters + "\\Server Details\\" + e.name + "]\r\n";
        text += "\"addr\"=\"" + e.addr + "\"\r\n\"protocol\"=" + dword(e.protocol) +
                "\r\n\"order\"=" + dword(e.order) + "\r\n";
    }
    return text;
}

class KronelsvcDebug : public ::testing::Test {
protected:
    void SetUp() override { store_ = dir_.file("registry.reg"); }
    void TearDown() override { platform::setRegistryFile(""); }

    // kronelsvc debug with a simulated clock `offset` seconds off and the given store.
    std::unique_ptr<ChildProcess> startDebug(double offset, const std::string& services,
                                             const std::map<std::string, int>& parameters,
                                             const std::vector<Entry>& entries) {
        testsupport::writeFile(store_, storeText(parameters, entries));
        char offsetText[32];
        std::snprintf(offsetText, sizeof offsetText, "%.3f", offset);
        ChildProcess::Options options;
        options.setEnvironment = {{"KRONEL_REGISTRY", store_},
                                  {"KRONEL_CLOCK", "simulated"},
                                  {"KRONEL_CLOCK_OFFSET", offsetText},
                                  {"KRONEL_SERVICES", services},
                                  {"KRONEL_TIME_SCALE", "100"}};
        auto child = std::make_unique<ChildProcess>();
        EXPECT_TRUE(child->start(KRONEL_BINARY_DIR "/service/kronelsvc", {"debug"}, options).ok());
        return child;
    }

    static bool waitForOutput(const ChildProcess& p, const std::string& text,
                              std::chrono::milliseconds deadline) {
        return eventually([&] { return p.output().find(text) != std::string::npos; }, deadline);
    }

    std::string value(const std::string& path, const std::string& name) {
        platform::setRegistryFile(store_);
        std::unique_ptr<platform::RegistryKey> key;
        std::string text;
        if (platform::openRegistryKey(platform::RegRoot::LocalMachine, path, false, true, key)
                .ok()) {
            (void)key->queryString(name, text, 10240);
        }
        return text;
    }
    std::string parameter(const std::string& name) {
        return value("SYSTEM\\CurrentControlSet\\Services\\Kronel\\Parameters", name);
    }

    static void stop(ChildProcess& p) {
        ASSERT_TRUE(p.signal(ChildProcess::Signal::Interrupt).ok());
        int exitCode = -1;
        ASSERT_TRUE(p.wait(10s, exitCode)) << p.output();
        EXPECT_EQ(exitCode, 1) << p.output();  // the console run's exit code
    }

    TempDir dir_;
    std::string store_;
};

}  // namespace

TEST_F(KronelsvcDebug, StepsAClockThatIsFarBehind) {
    Chronyd chronyd;
    ASSERT_TRUE(chronyd.waitUntilServing()) << chronyd.log();
    auto p = startDebug(-12.5, "ntp/udp=" + std::to_string(chronyd.port()), {},
                        {{"local", "127.0.0.1", 0}});
    ASSERT_TRUE(waitForOutput(*p, "Info : ", 10s)) << p->output();
    EXPECT_NE(p->output().find("Using simulated clock, offset -12.500 s"), std::string::npos)
        << p->output();
    ASSERT_TRUE(waitForOutput(*p, "(Clock stepped)", 20s)) << p->output();
    EXPECT_NE(p->output().find("The time has been corrected by 12.5"), std::string::npos)
        << p->output();
    stop(*p);

    EXPECT_EQ(parameter("LastDelta").rfind("12.5", 0), 0u) << parameter("LastDelta");
    EXPECT_NE(parameter("LastDelta").find("seconds (Clock stepped)"), std::string::npos);
    EXPECT_EQ(parameter("TimeSource"), "local");
    EXPECT_EQ(parameter("LastContact").size(), 24u) << parameter("LastContact");
    const std::string info = value(
        "SYSTEM\\CurrentControlSet\\Services\\Kronel\\Parameters\\Server Details\\local", "info");
    EXPECT_EQ(info.size(), 24u) << info;
}

TEST_F(KronelsvcDebug, SmallOffsetsGoToTheFrequencyDiscipline) {
    Chronyd chronyd;
    ASSERT_TRUE(chronyd.waitUntilServing()) << chronyd.log();
    auto p = startDebug(-0.3, "ntp/udp=" + std::to_string(chronyd.port()), {{"AdjustFreq", 1}},
                        {{"local", "127.0.0.1", 0}});
    ASSERT_TRUE(waitForOutput(*p, "used to adjust clock frequency", 20s)) << p->output();
    EXPECT_EQ(p->output().find("(Clock stepped)"), std::string::npos) << p->output();
    stop(*p);
    EXPECT_NE(parameter("LastDelta").find("(Frequency adjusted)"), std::string::npos)
        << parameter("LastDelta");
}

TEST_F(KronelsvcDebug, RefusesACorrectionAboveMax) {
    Chronyd chronyd;
    ASSERT_TRUE(chronyd.waitUntilServing()) << chronyd.log();
    auto p = startDebug(-4000, "ntp/udp=" + std::to_string(chronyd.port()), {{"Max", 3600}},
                        {{"local", "127.0.0.1", 0}});
    ASSERT_TRUE(waitForOutput(*p, "too large", 20s)) << p->output();
    EXPECT_NE(p->output().find("Warn : "), std::string::npos);
    EXPECT_EQ(p->output().find("The time has been corrected"), std::string::npos) << p->output();
    stop(*p);
    EXPECT_EQ(parameter("LastDelta"), "");  // never written
}

TEST_F(KronelsvcDebug, ClampsACorrectionAboveMaxWhenAllowed) {
    Chronyd chronyd;
    ASSERT_TRUE(chronyd.waitUntilServing()) << chronyd.log();
    auto p = startDebug(-4000, "ntp/udp=" + std::to_string(chronyd.port()),
                        {{"Max", 3600}, {"AllowMax", 1}}, {{"local", "127.0.0.1", 0}});
    ASSERT_TRUE(waitForOutput(*p, "(Clock stepped)", 20s)) << p->output();
    EXPECT_NE(p->output().find("too large"), std::string::npos);
    EXPECT_NE(p->output().find("The time has been corrected by 3600.000 seconds (Clock stepped)"),
              std::string::npos)
        << p->output();
    stop(*p);
}

TEST_F(KronelsvcDebug, MovesAlongTheListAndEndsIdleAfterTheLast) {
    // The second entry is a socket that never answers.
    platform::Socket silent;
    ASSERT_TRUE(silent.open(platform::Socket::Type::Udp).ok());
    ASSERT_TRUE(silent.bind({*platform::parseDottedIPv4("127.0.0.1"), 0}).ok());
    const uint16_t silentPort = silent.localEndpoint().port;
    auto p = startDebug(0, "ntp/udp=" + std::to_string(silentPort), {{"SwitchDelay", 2000}},
                        {{"nowhere", "no-such-host.invalid", 0}, {"silent", "127.0.0.1", 1}});
    ASSERT_TRUE(waitForOutput(*p, "Couldn't determine address for no-such-host.invalid", 20s))
        << p->output();
    ASSERT_TRUE(waitForOutput(*p, "connecting to 127.0.0.1", 10s)) << p->output();
    ASSERT_TRUE(waitForOutput(*p, "No reply from 127.0.0.1", 30s)) << p->output();
    ASSERT_TRUE(waitForOutput(*p, "No more time servers to try", 10s)) << p->output();
    // Nothing more may start: give a wrongly restarted list time to show itself.
    const size_t idleAt = p->output().size();
    eventually([&] { return p->output().find("connecting to", idleAt) != std::string::npos; }, 1s);
    EXPECT_EQ(p->output().find("connecting to", idleAt), std::string::npos) << p->output();
    stop(*p);
}

namespace {

// One server entry per protocol, each against its independent peer on loopback.
struct PeerCase {
    const char* name;
    int protocol;
};

void PrintTo(const PeerCase& c, std::ostream* os) {
    *os << c.name;
}

class KronelsvcWithPeers : public KronelsvcDebug,
                           public ::testing::WithParamInterface<std::tuple<PeerCase, double>> {};

// The correction printed in "The time has been corrected by %.3f seconds (Clock stepped)".
double printedCorrection(const std::string& output) {
    const std::string marker = "The time has been corrected by ";
    const size_t at = output.find(marker);
    return at == std::string::npos ? NAN : std::atof(output.c_str() + at + marker.size());
}

}  // namespace

TEST_P(KronelsvcWithPeers, AnEntryOfEachProtocolSetsTheClock) {
    const auto& [c, offset] = GetParam();
    ASSERT_FALSE(testsupport::peerTable().empty()) << testsupport::kNoPeers;
    std::string addr = "127.0.0.1";
    if (c.protocol == 3) {
        addr = "http://127.0.0.1:" + std::to_string(testsupport::peerPort("http")) + "/";
    }
    auto p = startDebug(offset, testsupport::peerServices(), {{"AdjustFreq", 0}},
                        {{"peer", addr, 0, c.protocol}});
    ASSERT_TRUE(waitForOutput(*p, "(Clock stepped)", 20s)) << p->output();
    EXPECT_NE(p->output().find(std::string("Info : ") + c.name + " "), std::string::npos)
        << p->output();
    // Whole seconds on the wire for all but ICMP; daytime and ICMP correct within the hour,
    // which these offsets stay inside.
    EXPECT_NEAR(printedCorrection(p->output()), -offset, 1.0) << p->output();
    stop(*p);
    EXPECT_EQ(parameter("TimeSource"), "peer");
}

INSTANTIATE_TEST_SUITE_P(
    Kronelsvc, KronelsvcWithPeers,
    ::testing::Combine(
        ::testing::Values(PeerCase{"RFC868 UDP Client", 1}, PeerCase{"RFC868 TCP Client", 2},
                          PeerCase{"HTTP Client", 3}, PeerCase{"RFC867 TCP Client", 7},
                          PeerCase{"RFC867 UDP Client", 8}, PeerCase{"ICMP Timestamp Client", 10}),
        ::testing::Values(-420.6, 420.6)),
    [](const auto& info) {
        return "Protocol" + std::to_string(std::get<0>(info.param).protocol) +
               (std::get<1>(info.param) < 0 ? "_Behind" : "_Ahead");
    });

class KronelsvcDebugWithPeers : public KronelsvcDebug {};

TEST_F(KronelsvcDebugWithPeers, ANotFoundPageSwitchesToTheNextEntry) {
    ASSERT_FALSE(testsupport::peerTable().empty()) << testsupport::kNoPeers;
    const std::string missing =
        "127.0.0.1:" + std::to_string(testsupport::peerPort("http")) + "/no-such-page";
    auto p = startDebug(-90.0, testsupport::peerServices(), {{"AutoChange", 1}, {"AdjustFreq", 0}},
                        {{"web", missing, 0, 3}, {"time", "127.0.0.1", 1, 2}});
    ASSERT_TRUE(waitForOutput(*p, "(Clock stepped)", 20s)) << p->output();
    const std::string out = p->output();
    const size_t notFound = out.find("Warn : HTTP Client Not found (HTTP error 404)");
    const size_t next = out.find("Info : RFC868 TCP Client connecting to 127.0.0.1");
    ASSERT_NE(notFound, std::string::npos) << out;
    ASSERT_NE(next, std::string::npos) << out;
    EXPECT_LT(notFound, next);
    EXPECT_NEAR(printedCorrection(out), 90.0, 1.0) << out;
    stop(*p);
    EXPECT_EQ(parameter("TimeSource"), "time");
}

TEST_F(KronelsvcDebug, TheIcmpClientEndsWithoutTheRightToOpenARawSocket) {
    testsupport::writeFile(store_, storeText({}, {{"kernel", "127.0.0.1", 0, 10}}));
    ChildProcess::Options options;
    options.setEnvironment = {{"KRONEL_REGISTRY", store_}, {"KRONEL_CLOCK", "simulated"}};
    // Without CAP_NET_RAW no raw socket can be opened.
    ChildProcess p;
    ASSERT_TRUE(p.start("/usr/bin/setpriv",
                        {"--inh-caps=-net_raw,-sys_time", "--bounding-set=-net_raw,-sys_time", "--",
                         KRONEL_BINARY_DIR "/service/kronelsvc", "debug"},
                        options)
                    .ok());
    ASSERT_TRUE(waitForOutput(
        p, "Error: ICMP Timestamp Client Couldn't create socket(WSAEACCES: Permission denied)",
        10s))
        << p.output();
    stop(p);
    EXPECT_EQ(p.output().find("(Clock stepped)"), std::string::npos);
}
