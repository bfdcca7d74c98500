// kronelsvc debug with alerts on: its only source stops answering, the watchdog notices, the
// box text becomes an Error line and the alert mail reaches a real mail server.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/ChildProcess.h"
#include "platform/Socket.h"
#include "support/Aiosmtpd.h"
#include "support/Chronyd.h"

using namespace std::chrono_literals;
using platform::ChildProcess;
using testsupport::eventually;

namespace {

std::string dword(unsigned value) {
    char text[32];
    std::snprintf(text, sizeof text, "dword:%08x", value);
    return text;
}

bool waitForOutput(const ChildProcess& p, const std::string& text, size_t from,
                   std::chrono::milliseconds deadline) {
    return eventually([&] { return p.output().find(text, from) != std::string::npos; }, deadline);
}

}  // namespace

TEST(KronelsvcAlerts, LossOfTheOnlySourceSendsTheAlertMail) {
    testsupport::Aiosmtpd mailServer;
    ASSERT_TRUE(mailServer.waitUntilServing()) << mailServer.log();
    auto chronyd = std::make_unique<testsupport::Chronyd>();
    ASSERT_TRUE(chronyd->waitUntilServing()) << chronyd->log();
    const uint16_t ntpPort = chronyd->port();

    // At a time scale of 100, a poll every 0.6 s and a time-out of 3 s.
    const std::string parameters =
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Kronel\\Parameters";
    std::string store = "Windows Registry Editor Version 5.00\r\n\r\n[" + parameters + "]\r\n";
    for (const char* server :
         {"TCPServer", "UDPServer", "867TCPServer", "867UDPServer", "SNTPServer", "LogtoEvtlog"}) {
        store += std::string("\"") + server + "\"=" + dword(0) + "\r\n";
    }
    store += "\"Frequency\"=" + dword(1) + "\r\n\"AutoChange\"=" + dword(0) +
             "\r\n\"LogDebug\"=" + dword(1) + "\r\n\"EnableAlerts\"=" + dword(1) +
             "\r\n\"AlertTimeout\"=" + dword(5) + "\r\n\"AlertMsgBox\"=" + dword(1) +
             "\r\n\"AlertEmail\"=" + dword(1) +
             "\r\n\"SMTPServer\"=\"127.0.0.1\"\r\n\"SMTPToAddr\"=\"ops@example.org\"\r\n";
    store += "\r\n[" + parameters + "\\Server Details\\only]\r\n\"addr\"=\"127.0.0.1\"\r\n" +
             "\"protocol\"=" + dword(0) + "\r\n\"order\"=" + dword(0) + "\r\n";
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("registry.reg"), store);

    ChildProcess::Options options;
    options.setEnvironment = {
        {"KRONEL_REGISTRY", dir.file("registry.reg")},
        {"KRONEL_CLOCK", "simulated"},
        {"KRONEL_SERVICES",
         "ntp/udp=" + std::to_string(ntpPort) + ",smtp/tcp=" + std::to_string(mailServer.port())},
        {"KRONEL_TIME_SCALE", "100"}};
    options.unsetEnvironment = {"KRONEL_CLOCK_OFFSET", "KRONEL_CLOCK_PPM"};
    ChildProcess p;
    ASSERT_TRUE(p.start(KRONEL_BINARY_DIR "/service/kronelsvc", {"debug"}, options).ok());
    ASSERT_TRUE(waitForOutput(p, "Debug: Watchdog Starting", 0, 10s)) << p.output();

    // While the source answers, its results (too small to step: the clock is right) keep the
    // watchdog quiet for longer than its time-out.
    for (int result = 1; result <= 6; ++result) {
        ASSERT_TRUE(eventually(
            [&] {
                size_t n = 0;
                for (size_t at = p.output().find("used to adjust clock frequency");
                     at != std::string::npos;
                     at = p.output().find("used to adjust clock frequency", at + 1)) {
                    ++n;
                }
                return n >= static_cast<size_t>(result);
            },
            20s))
            << p.output();
    }
    EXPECT_EQ(p.output().find("Lost time synchronisation"), std::string::npos) << p.output();

    // The source stops answering.
    chronyd.reset();
    const size_t lost = p.output().size();
    ASSERT_TRUE(waitForOutput(p, "Error: Watchdog Lost time synchronisation", lost, 30s))
        << p.output();
    ASSERT_TRUE(waitForOutput(p, "Error: Watchdog Time synchronisation lost", lost, 10s))
        << p.output();
    ASSERT_TRUE(mailServer.waitForMessages(1, 20s)) << p.output() << mailServer.log();
    const std::string mail = mailServer.messages().at(0);
    EXPECT_NE(mail.find("Subject: Time Alert\n"), std::string::npos) << mail;
    EXPECT_NE(mail.find("X-RcptTo: ops@example.org\n"), std::string::npos) << mail;
    EXPECT_NE(mail.find("\n\nTime synchronisation lost"), std::string::npos) << mail;
    ASSERT_TRUE(waitForOutput(p, "Debug: Watchdog Server said >221", lost, 10s)) << p.output();
    EXPECT_EQ(p.output().find("Warn : Watchdog", lost), std::string::npos) << p.output();

    ASSERT_TRUE(p.signal(ChildProcess::Signal::Interrupt).ok());
    int exitCode = -1;
    ASSERT_TRUE(p.wait(10s, exitCode)) << p.output();
    EXPECT_EQ(exitCode, 1) << p.output();
}
