// The alert mail as it arrives at an independent mail server (POSIX: the server is a Python
// program the test starts).
#ifndef _WIN32
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "alerts/CWatchDog.h"
#include "alerts/SmtpMail.h"
#include "engine/CReg.h"
#include "platform/Seams.h"
#include "platform/Socket.h"
#include "support/Aiosmtpd.h"
#include "support/RecordingMessages.h"
#include "support/RecordingTime.h"
#include "support/TestSupport.h"

using core::MessageLevel;
using namespace std::chrono_literals;

namespace {

// The value of a header line ("Name: value") of a stored message.
std::string header(const std::string& message, const std::string& name) {
    const size_t at = message.find("\n" + name + ": ");
    if (at == std::string::npos) {
        return {};
    }
    const size_t begin = at + name.size() + 3;
    return message.substr(begin, message.find('\n', begin) - begin);
}

}  // namespace

TEST(AlertMail, ArrivesWholeAtARealMailServer) {
    testsupport::Aiosmtpd server;
    ASSERT_TRUE(server.waitUntilServing()) << server.log();
    platform::setServiceOverrides("smtp/tcp=" + std::to_string(server.port()));
    platform::setTimeScale(1000.0);

    testsupport::TempStore store;
    {
        engine::CReg p(engine::kServiceParametersKey);
        (void)p.writeInt("AlertEmail", 1);
        (void)p.writeText("SMTPServer", "127.0.0.1");
        (void)p.writeText("SMTPToAddr", "ops@example.org");
        // A line of a single dot would end an unstuffed mail early.
        (void)p.writeText("SMTPMsgText", "Clock unsynchronised\n.\nCheck the antenna");
    }
    testsupport::RecordingMessages messages;
    testsupport::RecordingTime time;
    {
        alerts::CWatchDog watchdog(messages, time, 1, engine::kServiceParametersKey,
                                   platform::RegRoot::LocalMachine, nullptr);
        watchdog.start();
        ASSERT_TRUE(server.waitForMessages(1, 20s)) << server.log();
        ASSERT_TRUE(testsupport::eventually(
            [&] { return messages.has(MessageLevel::Debug, "Server said >221"); }));
    }
    platform::setTimeScale(1.0);
    platform::setServiceOverrides("");

    const std::string host = platform::localHostName();
    const std::string mail = "\n" + server.messages().at(0);
    EXPECT_EQ(header(mail, "X-MailFrom"), "Kronel@" + host) << mail;
    EXPECT_EQ(header(mail, "X-RcptTo"), "ops@example.org") << mail;
    EXPECT_EQ(header(mail, "From"), "Kronel@" + host) << mail;
    EXPECT_EQ(header(mail, "To"), "ops@example.org") << mail;
    EXPECT_EQ(header(mail, "Subject"), "Time Alert") << mail;
    EXPECT_NE(mail.find("\n\nClock unsynchronised\n.\nCheck the antenna"), std::string::npos)
        << mail;
    // Without MailDomain the greeting names the host, which the server accepts.
    EXPECT_TRUE(messages.has(MessageLevel::Debug, "We said >HELO " + host + "<"));
    for (const std::string& warning : messages.texts(MessageLevel::Warn)) {
        ADD_FAILURE() << warning;
    }
}

TEST(AlertMail, ASettingWithALineBreakSendsNoMail) {
    testsupport::Aiosmtpd server;
    ASSERT_TRUE(server.waitUntilServing()) << server.log();
    platform::setServiceOverrides("smtp/tcp=" + std::to_string(server.port()));
    // A store edited by hand: each would add a recipient of its own choosing.
    const struct {
        alerts::MailSettings settings;
        const char* error;
    } cases[] = {
        {{"127.0.0.1", "ops@example.org\r\nRCPT TO: other@example.net", "", "lost"},
         "Alert mail not sent: SMTPToAddr holds a line break"},
        {{"127.0.0.1", "ops@example.org", "example.org\nRCPT TO: other@example.net", "lost"},
         "Alert mail not sent: MailDomain holds a line break"},
    };
    for (const auto& c : cases) {
        testsupport::RecordingMessages messages;
        alerts::SmtpMail mail(messages, "Watchdog", nullptr);
        EXPECT_FALSE(mail.send(c.settings)) << c.error;
        EXPECT_EQ(messages.texts(MessageLevel::Error), std::vector<std::string>{c.error});
    }
    EXPECT_FALSE(server.waitForMessages(1, 1s)) << server.messages().at(0);
    platform::setServiceOverrides("");
}
#endif
