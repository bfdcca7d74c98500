// The built wispsvc and wisp95, run whole: each verb, under a stand-in service manager, on the
// console, and wisp95's start-up entry. The test program runs in a network namespace of its
// own (in-netns), and so do the programs it starts.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "WispTestSupport.h"
#include "platform/ChildProcess.h"
#include "platform/ServiceHost.h"
#include "platform/SimulatedClock.h"
#include "platform/Socket.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"
#include "wire/NtpPacket.h"

using platform::ChildProcess;
using testsupport::eventually;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

const std::string kWispsvc = KRONEL_BINARY_DIR "/wisp/wispsvc";
const std::string kWisp95 = KRONEL_BINARY_DIR "/wisp/wisp95";
constexpr platform::Millis kDeadline{10000};

class WispPrograms : public ::testing::Test {
protected:
    ChildProcess::Options options(const std::string& notifySocket = "") const {
        ChildProcess::Options o;
        o.setEnvironment = {{"KRONEL_CLOCK", "simulated"},
                            {"KRONEL_CLOCK_OFFSET", "-3"},
                            {"WISP_CONFIG_DIR", dir.path().string()},
                            {"KRONEL_UNIT_DIR", dir.path().string()},
                            {"XDG_CONFIG_HOME", dir.file("config")}};
        o.unsetEnvironment = {"KRONEL_TIME_SCALE", "KRONEL_SERVICES", "KRONEL_CLOCK_PPM"};
        if (notifySocket.empty()) {
            o.unsetEnvironment.push_back("NOTIFY_SOCKET");
        } else {
            o.setEnvironment.emplace_back("NOTIFY_SOCKET", notifySocket);
        }
        return o;
    }

    std::string run(const std::string& program, const std::vector<std::string>& arguments,
                    int expectedExit = 0) {
        ChildProcess child;
        EXPECT_TRUE(child.start(program, arguments, options()).ok());
        int code = -1;
        EXPECT_TRUE(child.wait(kDeadline, code));
        EXPECT_EQ(code, expectedExit) << child.output() << child.errors();
        return child.output();
    }

    // The answer of whatever listens on port 123, or nothing within half a second.
    // Asks as an SNTP client would, a few times: "Listening" is printed as the listener's
    // thread starts, so the first request may come before its socket is bound.
    static std::optional<std::array<uint8_t, 48>> ask(int tries = 5) {
        platform::Socket client = testsupport::boundUdp();
        const auto request = wire::NtpPacket::request(3.9e9);
        for (int i = 0; i < tries; ++i) {
            EXPECT_TRUE(client.sendTo(request.data(), 48, testsupport::loopback(123)).ok());
            std::array<uint8_t, 48> reply{};
            const auto got =
                client.receiveFrom(reply.data(), reply.size(), nullptr, platform::Millis(500));
            if (got.ok()) {
                return reply;
            }
        }
        return std::nullopt;
    }

    static bool printed(const ChildProcess& child, const std::string& text) {
        return child.output().find(text) != std::string::npos;
    }

    TempDir dir{"kronel-wisp-"};
};

}  // namespace

TEST_F(WispPrograms, VerbsInstallAndRemoveTheUnit) {
    EXPECT_EQ(run(kWispsvc, {"help"}),
              "WISPSVC add              to install the service\n"
              "WISPSVC remove           to remove the service\n"
              "WISPSVC debug            to run as a console application for debugging\n");
    EXPECT_EQ(run(kWispsvc, {"add"}), "Service installed\n");
    const std::string unit = readFile(dir.path() / "wisp.service");
    EXPECT_NE(unit.find("Description=Wisp Time Synchronization\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("Type=notify\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("ExecStart=" + std::filesystem::canonical(kWispsvc).string() + "\n"),
              std::string::npos)
        << unit;
    // The Debian package ships this very unit, the program in /usr/sbin.
    std::string packaged = readFile(KRONEL_SOURCE_DIR "/debian/kronel-wisp.wisp.service");
    const std::string packagedExec = "\nExecStart=/usr/sbin/wispsvc\n";
    const size_t exec = packaged.find(packagedExec);
    ASSERT_NE(exec, std::string::npos) << packaged;
    packaged.replace(exec, packagedExec.size(),
                     "\nExecStart=" + std::filesystem::canonical(kWispsvc).string() + "\n");
    EXPECT_EQ(unit, packaged);
    EXPECT_EQ(run(kWispsvc, {"add"}).rfind("CreateService failed - ", 0), 0u);
    EXPECT_EQ(run(kWispsvc, {"remove"}), "Wisp Time Synchronization removed.\n");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "wisp.service"));
    EXPECT_EQ(run(kWispsvc, {"remove"}).rfind("OpenService failed - ", 0), 0u);
    // Without a service manager to talk to.
    EXPECT_EQ(run(kWispsvc, {}).rfind("StartServiceCtrlDispatcher failed (", 0), 0u);
}

TEST_F(WispPrograms, TheServiceReportsReadyAnswersAndStopsOnTermination) {
    const std::string address = "@kronel-wisp-" + testsupport::randomSuffix();
    platform::ServiceNotifyListener manager;
    ASSERT_TRUE(manager.bind(address).ok());
    ChildProcess service;
    ASSERT_TRUE(service.start(kWispsvc, {}, options(address)).ok());
    std::string said;
    ASSERT_TRUE(eventually([&] {
        said += manager.receive(platform::Millis(100)).value_or("");
        return said.find("READY=1") != std::string::npos;
    })) << said;
    ASSERT_TRUE(eventually([&] { return printed(service, "Listening for time broadcasts"); }));
    EXPECT_TRUE(printed(service, "Using simulated clock, offset -3.000 s\n"));
    auto reply = ask();
    ASSERT_TRUE(reply.has_value()) << service.output();
    EXPECT_EQ((*reply)[0], 28);
    EXPECT_EQ((*reply)[1], 15);
    // Only debug runs print a line for each datagram.
    EXPECT_FALSE(printed(service, "NTP message received")) << service.output();

    ASSERT_TRUE(service.signal(ChildProcess::Signal::Terminate).ok());
    int code = -1;
    ASSERT_TRUE(service.wait(kDeadline, code));
    EXPECT_EQ(code, 0);
    while (auto datagram = manager.receive(platform::Millis(100))) {
        said += *datagram;
    }
    EXPECT_NE(said.find("STOPPING=1"), std::string::npos) << said;
    EXPECT_NE(said.find("STATUS=stopped"), std::string::npos) << said;
}

TEST_F(WispPrograms, DebugRunsPrintEachDatagramUntilCtrlCAndABadIniLineIsSkipped) {
    writeFile(dir.path() / "wispsvc.ini", "[WISPSVC]\nserver=0 ; listen\n\x01garbage\n");
    ChildProcess debug;
    ASSERT_TRUE(debug.start(kWispsvc, {"debug"}, options()).ok());
    ASSERT_TRUE(eventually([&] { return printed(debug, "Listening for time broadcasts"); }))
        << debug.output();
    EXPECT_TRUE(printed(debug, "wispsvc.ini line 3 skipped (not text)\n")) << debug.output();
    EXPECT_TRUE(ask().has_value());
    EXPECT_TRUE(eventually([&] {
        return printed(debug, "NTP message received from 127.0.0.1 mode 3");
    })) << debug.output();
    ASSERT_TRUE(debug.signal(ChildProcess::Signal::Interrupt).ok());
    int code = -1;
    ASSERT_TRUE(debug.wait(kDeadline, code));
    EXPECT_EQ(code, 0);
}

TEST_F(WispPrograms, Wisp95FollowsBroadcastsWithoutAnsweringAndRegistersItsStart) {
    EXPECT_EQ(run(kWisp95, {"--register"}), "Wisp95 starts when you log in (" + dir.file("config") +
                                                "/autostart/Wisp95.desktop)\n");
    const std::string entry = readFile(dir.path() / "config/autostart/Wisp95.desktop");
    EXPECT_NE(entry.find("Exec=\"" + std::filesystem::canonical(kWisp95).string() + "\"\n"),
              std::string::npos)
        << entry;
    EXPECT_EQ(run(kWisp95, {"--unregister"}), "Wisp95 no longer starts when you log in\n");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "config/autostart/Wisp95.desktop"));
    EXPECT_EQ(run(kWisp95, {"--unregister"}, 1).rfind("Couldn't unregister Wisp95 (", 0), 0u);

    ChildProcess wisp95;
    ASSERT_TRUE(wisp95.start(kWisp95, {}, options()).ok());
    ASSERT_TRUE(eventually([&] { return printed(wisp95, "Listening for time broadcasts"); }))
        << wisp95.output();
    EXPECT_FALSE(ask(2).has_value());
    // A broadcast to the multicast group, 3 s ahead of its 3 s slow clock.
    platform::Socket sender = testsupport::boundUdp();
    const double trueNtp = platform::realUtcSeconds() + 2208988800.0;
    const auto packet = wire::NtpPacket::broadcast(2, 6, {'G', 'P', 'S', 0}, trueNtp, trueNtp);
    ASSERT_TRUE(
        sender.sendTo(packet.data(), 48, {*platform::parseDottedIPv4("224.0.1.1"), 123}).ok());
    ASSERT_TRUE(eventually([&] { return printed(wisp95, "The time has been corrected by "); }))
        << wisp95.output();
    EXPECT_NEAR(wisptest::numberAfter(wisp95.output(), "The time has been corrected by "), 3.0,
                0.05);
    ASSERT_TRUE(wisp95.signal(ChildProcess::Signal::Terminate).ok());
    int code = -1;
    ASSERT_TRUE(wisp95.wait(kDeadline, code));
    EXPECT_EQ(code, 0);
}
