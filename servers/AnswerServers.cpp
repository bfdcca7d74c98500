#include "servers/AnswerServers.h"

#include <cstdio>
#include <cstring>

#include "core/ErrorText.h"
#include "core/TimeValue.h"

namespace servers {

namespace {

constexpr int kBacklog = 5;
constexpr int kConnectionReset = 10054;  // WSAECONNRESET: an earlier answer was refused
constexpr size_t kMaxRequest = 256;

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Socket set-up shared by both transports; false (after its Error) ends the thread.
bool openServerSocket(platform::Socket& socket, platform::Socket::Type type,
                      core::MessageHandler& messages, const std::string& name, const char* service,
                      uint16_t fallback) {
    const bool udp = type == platform::Socket::Type::Udp;
    if (!socket.open(type).ok()) {
        messages.error(name, "Couldn't create socket(%s)", core::winsockErrorText().c_str());
        return false;
    }
    if (!socket.setReuseAddress(true).ok()) {
        messages.error(name, "Couldn't set socket options(%s)", core::winsockErrorText().c_str());
        return false;
    }
    const uint16_t port = platform::servicePort(service, udp ? "udp" : "tcp", fallback);
    if (!socket.bind({0, port}).ok()) {
        messages.error(name, udp ? "Couldn't bind server socket (%s)" : "Couldn't bind socket (%s)",
                       core::winsockErrorText().c_str());
        return false;
    }
    if (!udp && !socket.listen(kBacklog).ok()) {
        messages.error(name, "Couldn't listen on socket (%s)", core::winsockErrorText().c_str());
        return false;
    }
    return true;
}

}  // namespace

size_t timeAnswer(double timeValue, char* out) {
    const auto seconds = static_cast<uint32_t>(static_cast<int64_t>(timeValue));
    out[0] = static_cast<char>(seconds >> 24);
    out[1] = static_cast<char>(seconds >> 16);
    out[2] = static_cast<char>(seconds >> 8);
    out[3] = static_cast<char>(seconds);
    return 4;
}

size_t daytimeAnswer(double timeValue, const char* text, size_t textLength, char* out) {
    const core::CalendarTime c = core::calendarFromUnix(core::unixFromTimeValue(timeValue));
    // The classic ctime text with its newline turned into a blank.
    const int n =
        std::snprintf(out, kMaxAnswer, "%s %s %2d %02d:%02d:%02d %04d ", kWeekdays[c.weekday % 7],
                      kMonths[(c.month + 11) % 12], c.day, c.hour, c.minute, c.second, c.year);
    size_t length = n < 0 ? 0 : std::min(static_cast<size_t>(n), kMaxAnswer - 1);
    const size_t room = kMaxAnswer - length;
    const size_t copied = std::min(textLength, room);
    std::memcpy(out + length, text, copied);
    return length + copied;
}

CUdpAnswerServer::CUdpAnswerServer(core::MessageHandler& messages, core::TimeHandler& time,
                                   const char* name, const char* service, uint16_t fallbackPort)
    : CTimeServer(messages, time, name), service_(service), fallbackPort_(fallbackPort) {}

CUdpAnswerServer::~CUdpAnswerServer() {
    stop();
}

void CUdpAnswerServer::run() {
    messages_.debug(name(), "started");
    platform::Socket socket;
    const bool ready = openServerSocket(socket, platform::Socket::Type::Udp, messages_, name(),
                                        service_, fallbackPort_);
    // Started once the port is taken (or cannot be), so a client asked next is answered.
    signalStarted();
    if (!ready) {
        return;
    }
    char request[kMaxRequest];
    char out[kMaxAnswer];
    for (;;) {
        platform::Endpoint from;
        const platform::IoResult got =
            socket.receiveFrom(request, sizeof request, &from, platform::kInfinite, &stopEvent_);
        if (got.error == kConnectionReset) {
            continue;
        }
        // The request's content does not matter, so an over-long one is answered too. Only
        // the stop ends the server.
        if (!got.ok() && got.error != platform::wsa::kMessageSize) {
            if (!carryOnAfter("recvfrom failed", got.error)) {
                return;
            }
            continue;
        }
        receivedAgain();
        if (fromServicePort(from.port)) {
            continue;
        }
        const size_t length = answer(out);
        const platform::IoResult sent = socket.sendTo(out, length, from);
        if (!sent.ok()) {
            messages_.warn(name(), "send failed (%s)", core::winsockErrorText(sent.error).c_str());
        }
        noteActivity(1);
        if (messages_.logsDebug()) {
            messages_.debug(name(), "Time request received from %s", from.addressText().c_str());
        }
    }
}

CTcpAnswerServer::CTcpAnswerServer(core::MessageHandler& messages, core::TimeHandler& time,
                                   const char* name, const char* service, uint16_t fallbackPort)
    : CTimeServer(messages, time, name), service_(service), fallbackPort_(fallbackPort) {}

CTcpAnswerServer::~CTcpAnswerServer() {
    stop();
}

void CTcpAnswerServer::run() {
    messages_.debug(name(), "started");
    platform::Socket listener;
    const bool ready = openServerSocket(listener, platform::Socket::Type::Tcp, messages_, name(),
                                        service_, fallbackPort_);
    // Started once the port is taken (or cannot be), so a client asked next is answered.
    signalStarted();
    if (!ready) {
        return;
    }
    char out[kMaxAnswer];
    for (;;) {
        platform::Endpoint peer;
        platform::Status status = platform::Status::success();
        platform::Socket connection =
            listener.accept(&peer, status, platform::kInfinite, &stopEvent_);
        // A client that reset before its connection was taken, or no descriptor or buffer
        // left for a while: only the stop ends the server.
        if (!status.ok()) {
            if (!carryOnAfter("accept failed", status.error)) {
                return;
            }
            continue;
        }
        receivedAgain();
        const size_t length = answer(out);
        const platform::IoResult sent = connection.send(out, length);
        if (!sent.ok() || sent.count < static_cast<long>(length)) {
            messages_.warn(name(), "send failed (%s)", core::winsockErrorText(sent.error).c_str());
        }
        connection.close();
        noteActivity(1);
        if (messages_.logsDebug()) {
            messages_.debug(name(), "Time request received from %s", peer.addressText().c_str());
        }
    }
}

}  // namespace servers
