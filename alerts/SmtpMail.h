#pragma once
#include <optional>
#include <string>

#include "core/Handlers.h"
#include "platform/Event.h"
#include "platform/Socket.h"
#include "wire/SmtpReply.h"

namespace alerts {

// What the alert mail needs from the settings.
struct MailSettings {
    std::string server;      // SMTPServer: dotted IPv4 address or host name
    std::string toAddress;   // SMTPToAddr
    std::string mailDomain;  // MailDomain: for HELO and the sender; empty: the host name
    std::string text;        // SMTPMsgText: the body
};

// The alert mail: one SMTP dialogue with the configured server, every line sent and received
// logged at Debug. The dialogue goes on whatever the server replies (but a refused DATA is
// followed by QUIT, not the message), and a refusal is logged at Warn so that a lost alert
// shows. Settings with a line break are not sent at all.
class SmtpMail {
public:
    static constexpr const char* kSenderLocalPart = "Kronel";
    static constexpr const char* kSubject = "Time Alert";
    static constexpr uint16_t kFallbackPort = 25;
    static constexpr platform::Millis kReplyTimeout{30000};

    // `stop` (may be null) ends a connect or a wait for a reply at once.
    SmtpMail(core::MessageHandler& messages, std::string source, platform::Event* stop);

    // Tests shorten the wait for a reply.
    void setReplyTimeout(platform::Millis timeout) { replyTimeout_ = timeout; }

    // true when the dialogue ran to its end (whatever the server replied).
    bool send(const MailSettings& settings);

    // "mail.example.org", or the local host name when no domain is set.
    static std::string helloName(const std::string& mailDomain);
    // "Kronel@domain", "Kronel@host", or "Kronel" when neither is known.
    static std::string senderAddress(const std::string& mailDomain);
    // The name of the first setting that would break a command line (CR or LF), or nullptr.
    static const char* malformedSetting(const MailSettings& settings);
    // Headers, the body with CRLF line ends and leading dots doubled, and the end mark.
    static std::string messageData(const std::string& sender, const std::string& to,
                                   const std::string& text);

private:
    bool say(platform::Socket& socket, const std::string& text);
    // Reads one reply and logs it; `what` names the command it answers for the Warn line.
    bool hear(platform::Socket& socket, const char* what);

    core::MessageHandler& messages_;
    const std::string source_;
    platform::Event* stop_;
    platform::Millis replyTimeout_ = kReplyTimeout;
    std::string server_;
    wire::SmtpReplyReader reader_;
    int lastCode_ = 0;  // of the last reply heard
};

}  // namespace alerts
