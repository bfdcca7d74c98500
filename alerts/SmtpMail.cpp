#include "alerts/SmtpMail.h"

#include <chrono>

#include "core/ErrorText.h"
#include "core/Format.h"
#include "platform/Clock.h"

namespace alerts {

namespace {

constexpr size_t kReceiveSize = 255;
constexpr const char* kLocalHostFallback = "localhost";

bool breaksLine(const std::string& value) {
    return value.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

SmtpMail::SmtpMail(core::MessageHandler& messages, std::string source, platform::Event* stop)
    : messages_(messages), source_(std::move(source)), stop_(stop) {}

std::string SmtpMail::helloName(const std::string& mailDomain) {
    if (!mailDomain.empty()) {
        return mailDomain;
    }
    // Mail servers refuse a HELO without a name.
    const std::string host = platform::localHostName();
    return host.empty() ? kLocalHostFallback : host;
}

std::string SmtpMail::senderAddress(const std::string& mailDomain) {
    std::string sender = kSenderLocalPart;
    if (!mailDomain.empty()) {
        return sender + "@" + mailDomain;
    }
    const std::string host = platform::localHostName();
    return host.empty() ? sender : sender + "@" + host;
}

std::string SmtpMail::messageData(const std::string& sender, const std::string& to,
                                  const std::string& text) {
    std::string data =
        "From: " + sender + "\r\nTo: " + to + "\r\nSubject: " + kSubject + "\r\n\r\n";
    // Lines end in CRLF, and a leading dot is doubled: a line of a single dot would
    // otherwise end the mail there.
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find('\n', begin);
        const bool last = end == std::string::npos;
        if (last) {
            end = text.size();
        }
        size_t lineEnd = end;
        if (!last && lineEnd > begin && text[lineEnd - 1] == '\r') {
            --lineEnd;
        }
        if (last && begin == end && begin != 0) {
            break;  // the text ended with a line end
        }
        if (lineEnd > begin && text[begin] == '.') {
            data += '.';
        }
        data.append(text, begin, lineEnd - begin);
        data += "\r\n";
        if (last) {
            break;
        }
        begin = end + 1;
    }
    data += ".\r\n";
    return data;
}

bool SmtpMail::say(platform::Socket& socket, const std::string& text) {
    const std::string shown = core::printableForLog(text);
    messages_.debug(source_, "We said >%.*s<", static_cast<int>(shown.size()), shown.c_str());
    size_t sent = 0;
    while (sent < text.size()) {
        const platform::IoResult r = socket.send(text.data() + sent, text.size() - sent);
        if (!r.ok() || r.count <= 0) {
            // The next read tells what became of the connection.
            return false;
        }
        sent += static_cast<size_t>(r.count);
    }
    return true;
}

const char* SmtpMail::malformedSetting(const MailSettings& settings) {
    // A line break would end the command it is in and start one of the store's choosing.
    if (breaksLine(settings.server)) {
        return "SMTPServer";
    }
    if (breaksLine(settings.toAddress)) {
        return "SMTPToAddr";
    }
    if (breaksLine(settings.mailDomain)) {
        return "MailDomain";
    }
    return nullptr;
}

bool SmtpMail::hear(platform::Socket& socket, const char* what) {
    // One deadline for the whole reply: a server that trickles bytes cannot hold the alert.
    const auto deadline = platform::processClock().monotonic() + replyTimeout_;
    for (;;) {
        if (std::optional<wire::SmtpReply> reply = reader_.next()) {
            for (const std::string& line : reply->lines) {
                messages_.debug(source_, "Server said >%s<", core::printableForLog(line).c_str());
            }
            lastCode_ = reply->code;
            if (reply->refused()) {
                messages_.warn(source_, "Mail server %s refused %s: %s", server_.c_str(), what,
                               core::printableForLog(reply->lastLine()).c_str());
            }
            return true;
        }
        const auto left =
            std::chrono::ceil<platform::Millis>(deadline - platform::processClock().monotonic());
        char buffer[kReceiveSize];
        const platform::IoResult got = left.count() > 0
                                           ? socket.receive(buffer, sizeof buffer, left, stop_)
                                           : platform::IoResult{0, platform::wsa::kTimedOut};
        if (got.ok() && got.count > 0) {
            reader_.feed(buffer, static_cast<size_t>(got.count));
            continue;
        }
        if (got.error == platform::wsa::kInterrupted) {
            return false;  // stopped: not the server's fault
        }
        if (got.ok()) {
            messages_.warn(source_, "Mail server %s closed the connection before %s",
                           server_.c_str(), what);
        } else if (got.error == platform::wsa::kTimedOut) {
            messages_.warn(source_, "No reply from mail server %s to %s", server_.c_str(), what);
        } else {
            messages_.warn(source_, "recv failed(%s)", core::winsockErrorText(got.error).c_str());
        }
        return false;
    }
}

bool SmtpMail::send(const MailSettings& settings) {
    if (const char* malformed = malformedSetting(settings)) {
        messages_.error(source_, "Alert mail not sent: %s holds a line break", malformed);
        return false;
    }
    server_ = settings.server;
    reader_ = wire::SmtpReplyReader{};
    const uint16_t port = platform::servicePort("smtp", "tcp", kFallbackPort);
    messages_.debug(source_, "connecting to %s", server_.c_str());

    uint32_t address = 0;
    const platform::Status resolved = platform::resolveIPv4(server_, address, stop_);
    if (!resolved) {
        if (resolved.error != platform::wsa::kInterrupted) {
            messages_.warn(source_, "Couldn't determine address for %s, (%d)", server_.c_str(),
                           resolved.error);
        }
        return false;
    }

    platform::Socket socket;
    if (const platform::Status opened = socket.open(platform::Socket::Type::Tcp); !opened) {
        messages_.error(source_, "Couldn't create socket(%d)", opened.error);
        return false;
    }
    const platform::Status connected = socket.connect({address, port}, replyTimeout_, stop_);
    if (!connected) {
        if (connected.error != platform::wsa::kInterrupted) {
            messages_.warn(source_, "Couldn't connect to host(%d)", connected.error);
        }
        return false;
    }

    const std::string sender = senderAddress(settings.mailDomain);
    // Every read failure ends the dialogue; the socket closes with this scope.
    if (!hear(socket, "the connection")) {
        return false;
    }
    say(socket, "HELO " + helloName(settings.mailDomain) + "\r\n");
    if (!hear(socket, "HELO")) {
        return false;
    }
    say(socket, "MAIL FROM: " + sender + "\r\n");
    if (!hear(socket, "MAIL FROM")) {
        return false;
    }
    say(socket, "RCPT TO: " + settings.toAddress + "\r\n");
    if (!hear(socket, "RCPT TO")) {
        return false;
    }
    say(socket, "DATA\r\n");
    if (!hear(socket, "DATA")) {
        return false;
    }
    // Only a go-ahead (3xx) makes the server read what follows as the message; after a
    // refusal its lines would be read as commands.
    if (lastCode_ / 100 != 3) {
        say(socket, "QUIT\r\n");
        return hear(socket, "QUIT");
    }
    say(socket, messageData(sender, settings.toAddress, settings.text));
    if (!hear(socket, "the message")) {
        return false;
    }
    say(socket, "QUIT\r\n");
    return hear(socket, "QUIT");
}

}  // namespace alerts
