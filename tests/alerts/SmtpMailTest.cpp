#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ScriptedSmtpServer.h"
#include "alerts/SmtpMail.h"
#include "platform/Thread.h"
#include "support/RecordingMessages.h"
#include "support/TestSupport.h"

using alerts::MailSettings;
using alerts::SmtpMail;
using alertstest::ScriptedSmtpServer;
using core::MessageLevel;
using wire::SmtpReply;
using wire::SmtpReplyReader;

TEST(SmtpReplyReader, TakesWholeRepliesHoweverTheBytesAreSplit) {
    struct Case {
        std::vector<std::string> chunks;
        std::vector<std::vector<std::string>> replies;
        std::vector<int> codes;
    };
    const std::string longLine(600, 'x');
    const Case cases[] = {
        {{"250 OK\r\n"}, {{"250 OK"}}, {250}},
        {{"25", "0 O", "K\r", "\n"}, {{"250 OK"}}, {250}},
        {{"250-mail.example.org\r\n250-SIZE 1000\r\n", "250 HELP\r\n"},
         {{"250-mail.example.org", "250-SIZE 1000", "250 HELP"}},
         {250}},
        {{"354 go\r\n250 queued\r\n"}, {{"354 go"}, {"250 queued"}}, {354, 250}},
        {{"hello\n"}, {{"hello"}}, {0}},
        {{"052 odd\r\n"}, {{"052 odd"}}, {0}},
        {{"550 no\r"}, {}, {}},
        {{longLine + "\r\n"}, {{longLine.substr(0, SmtpReplyReader::kLineLimit)}}, {0}},
    };
    for (const Case& c : cases) {
        SmtpReplyReader reader;
        std::vector<SmtpReply> got;
        for (const std::string& chunk : c.chunks) {
            reader.feed(chunk.data(), chunk.size());
            while (auto reply = reader.next()) {
                got.push_back(*reply);
            }
        }
        ASSERT_EQ(got.size(), c.replies.size()) << c.chunks[0];
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].lines, c.replies[i]) << c.chunks[0];
            EXPECT_EQ(got[i].code, c.codes[i]) << c.chunks[0];
        }
    }
}

TEST(SmtpMail, MessageEndsLinesWithCrlfAndDoublesLeadingDots) {
    const std::string head =
        "From: Kronel@example.org\r\nTo: ops@example.org\r\n"
        "Subject: Time Alert\r\n\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {"Time synchronisation lost", "Time synchronisation lost\r\n.\r\n"},
        {"first\n.\nlast", "first\r\n..\r\nlast\r\n.\r\n"},
        {"a\r\n.b\r\n", "a\r\n..b\r\n.\r\n"},
        {"", "\r\n.\r\n"},
    };
    for (const auto& [text, body] : cases) {
        EXPECT_EQ(SmtpMail::messageData("Kronel@example.org", "ops@example.org", text), head + body)
            << text;
    }
}

TEST(SmtpMail, SenderAndHelloUseTheDomainElseTheHostName) {
    EXPECT_EQ(SmtpMail::senderAddress("example.org"), "Kronel@example.org");
    EXPECT_EQ(SmtpMail::helloName("example.org"), "example.org");
    const std::string host = platform::localHostName();
    ASSERT_FALSE(host.empty());
    EXPECT_EQ(SmtpMail::senderAddress(""), "Kronel@" + host);
    EXPECT_EQ(SmtpMail::helloName(""), host);
}

namespace {

class Mail : public ::testing::Test {
protected:
    void TearDown() override { platform::setServiceOverrides(""); }

    void serve(std::vector<std::string> replies) {
        server_ = std::make_unique<ScriptedSmtpServer>(std::move(replies));
        platform::setServiceOverrides("smtp/tcp=" + std::to_string(server_->port()));
    }

    bool send(platform::Millis replyTimeout = SmtpMail::kReplyTimeout) {
        SmtpMail mail(messages_, "Watchdog", &stop_);
        mail.setReplyTimeout(replyTimeout);
        return mail.send({"127.0.0.1", "ops@example.org", "example.org", "Clock lost"});
    }

    testsupport::RecordingMessages messages_;
    platform::Event stop_{true};
    std::unique_ptr<ScriptedSmtpServer> server_;
};

}  // namespace

TEST_F(Mail, RunsTheWholeDialogueAndLogsEveryLine) {
    serve(alertstest::acceptingReplies());
    EXPECT_TRUE(send());
    EXPECT_EQ(server_->received(),
              "HELO example.org\r\nMAIL FROM: Kronel@example.org\r\nRCPT TO: ops@example.org\r\n"
              "DATA\r\nFrom: Kronel@example.org\r\nTo: ops@example.org\r\nSubject: Time Alert\r\n"
              "\r\nClock lost\r\n.\r\nQUIT\r\n");
    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "connecting to 127.0.0.1"));
    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "Server said >220 test ready<"));
    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "We said >HELO example.org<"));
    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "We said >RCPT TO: ops@example.org<"));
    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "Server said >221 bye<"));
    EXPECT_TRUE(messages_.texts(MessageLevel::Warn).empty());
}

TEST_F(Mail, ARefusedRecipientIsWarnedAndDataStillFollows) {
    std::vector<std::string> replies = alertstest::acceptingReplies();
    replies[3] = "550 no such user\r\n";
    serve(replies);
    EXPECT_TRUE(send());
    EXPECT_NE(server_->received().find("DATA\r\nFrom: Kronel@example.org"), std::string::npos);
    EXPECT_EQ(messages_.texts(MessageLevel::Warn),
              std::vector<std::string>{"Mail server 127.0.0.1 refused RCPT TO: 550 no such user"});
}

TEST_F(Mail, ARefusedDataIsFollowedByQuitNotTheMessage) {
    // After a refused DATA the server reads commands: the message's lines would be taken as
    // such.
    serve({"220 test ready\r\n", "250 test\r\n", "250 OK\r\n", "250 OK\r\n",
           "554 no valid recipients\r\n", "221 bye\r\n"});
    EXPECT_TRUE(send(platform::Millis(2000)));
    EXPECT_EQ(server_->received(),
              "HELO example.org\r\nMAIL FROM: Kronel@example.org\r\nRCPT TO: ops@example.org\r\n"
              "DATA\r\nQUIT\r\n");
    EXPECT_EQ(
        messages_.texts(MessageLevel::Warn),
        std::vector<std::string>{"Mail server 127.0.0.1 refused DATA: 554 no valid recipients"});
}

TEST_F(Mail, AReplySplitOverSeveralReadsIsReadWhole) {
    std::vector<std::string> replies = alertstest::acceptingReplies();
    replies[0] = "220 te|st ready\r|\n";
    replies[3] = "5|50 no|body\r\n";
    serve(replies);
    EXPECT_TRUE(send());
    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "Server said >220 test ready<"));
    EXPECT_TRUE(messages_.has(MessageLevel::Warn, "refused RCPT TO: 550 nobody"));
    EXPECT_NE(server_->received().find("QUIT\r\n"), std::string::npos);
}

TEST_F(Mail, AServerThatClosesAfterTheGreetingEndsTheMailAtTheNextRead) {
    serve({"220 test ready\r\n", ScriptedSmtpServer::kClose});
    EXPECT_FALSE(send());
    EXPECT_EQ(server_->received(), "HELO example.org\r\n");
    EXPECT_EQ(messages_.texts(MessageLevel::Warn),
              std::vector<std::string>{"Mail server 127.0.0.1 closed the connection before HELO"});
    EXPECT_FALSE(messages_.has(MessageLevel::Debug, "We said >MAIL FROM"));
}

TEST_F(Mail, ASilentServerTimesOutAndAStopEndsTheWaitAtOnce) {
    serve({"220 test ready\r\n", ScriptedSmtpServer::kSilent});
    EXPECT_FALSE(send(platform::Millis(200)));
    EXPECT_TRUE(messages_.has(MessageLevel::Warn, "No reply from mail server 127.0.0.1 to HELO"));

    // The full 30 s wait, ended by the stop event: no time-out is reported.
    serve({"220 test ready\r\n", ScriptedSmtpServer::kSilent});
    const size_t warned = messages_.texts(MessageLevel::Warn).size();
    platform::Thread stopper([this] {
        testsupport::eventually(
            [this] { return server_->received().find("HELO") != std::string::npos; });
        platform::sleepFor(platform::Millis(50));
        stop_.set();
    });
    EXPECT_FALSE(send());
    EXPECT_EQ(messages_.texts(MessageLevel::Warn).size(), warned);
}

TEST_F(Mail, AnUnreachableServerIsWarned) {
    uint16_t port = 0;
    {
        platform::Socket closed;
        ASSERT_TRUE(closed.open(platform::Socket::Type::Tcp).ok());
        ASSERT_TRUE(closed.bind({*platform::parseDottedIPv4("127.0.0.1"), 0}).ok());
        port = closed.localEndpoint().port;
    }
    platform::setServiceOverrides("smtp/tcp=" + std::to_string(port));
    EXPECT_FALSE(send());
    EXPECT_EQ(messages_.texts(MessageLevel::Warn),
              std::vector<std::string>{"Couldn't connect to host(10061)"});
}
