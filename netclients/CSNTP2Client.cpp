#include "netclients/CSNTP2Client.h"

#include <chrono>

#include "core/ErrorText.h"
#include "engine/DialupGate.h"
#include "platform/Clock.h"

namespace netclients {

CSNTP2Client::CSNTP2Client(core::MessageHandler& messages, core::TimeHandler& time,
                           std::string serverAddress, int pollMinutes, bool rejectNtp,
                           engine::DialupGate* dialup)
    : CNetTimeClient(messages, time, std::move(serverAddress), pollMinutes, kSourceName, dialup),
      rejectNtp_(rejectNtp) {}

CSNTP2Client::~CSNTP2Client() {
    stop();
}

CSNTP2Client::Outcome CSNTP2Client::measure() {
    const uint16_t port = platform::servicePort("ntp", "udp", wire::kNtpFallbackPort);
    messages_.info(name(), "connecting to %s", server_.c_str());

    uint32_t address = 0;
    const platform::Status resolved = platform::resolveIPv4(server_, address, &stopEvent_);
    if (resolved.error == platform::wsa::kInterrupted) {
        return Outcome::Stopped;
    }
    if (!resolved.ok()) {
        messages_.warn(name(), "Couldn't determine address for %s, (%s)", server_.c_str(),
                       core::winsockErrorText().c_str());
        time_.sourceFailed();
        return Outcome::Done;
    }

    platform::Socket socket;
    if (!socket.open(platform::Socket::Type::Udp).ok()) {
        messages_.error(name(), "Couldn't create socket(%s)", core::winsockErrorText().c_str());
        return Outcome::Fatal;
    }

    const platform::Endpoint server{address, port};
    const wire::NtpPacket request = wire::NtpPacket::request(time_.now());
    const platform::IoResult sent = socket.sendTo(request.data(), wire::kNtpPacketSize, server);
    if (!sent.ok() || sent.count < static_cast<long>(wire::kNtpPacketSize)) {
        messages_.warn(name(), "sendto failed(%s)", core::winsockErrorText().c_str());
        time_.sourceFailed();
        return Outcome::Done;
    }

    bool stopped = false;
    double arrival = 0;
    const std::optional<wire::NtpPacket> reply =
        awaitReply(socket, server, request, arrival, stopped);
    if (stopped) {
        return Outcome::Stopped;
    }
    if (!reply) {
        messages_.warn(name(), "No reply from %s", server_.c_str());
        time_.sourceFailed();
        return Outcome::NoReply;
    }

    messages_.debug(name(), "%s", reply->diagnosticLine().c_str());
    if (!reply->usable(rejectNtp_)) {
        messages_.warn(name(), "NTP server %s is not synchronized", server_.c_str());
        time_.sourceFailed();
        return Outcome::Done;
    }
    time_.setTime(reply->clientOffset(arrival));
    time_.setReferenceId(core::referenceIdFromAddress(address));
    return Outcome::Done;
}

std::optional<wire::NtpPacket> CSNTP2Client::awaitReply(platform::Socket& socket,
                                                        const platform::Endpoint& server,
                                                        const wire::NtpPacket& request,
                                                        double& arrival, bool& stopped) {
    // One deadline for the whole exchange, so stray datagrams cannot stretch the wait.
    const auto deadline = platform::processClock().monotonic() + replyTimeout();
    for (;;) {
        const auto left =
            std::chrono::ceil<platform::Millis>(deadline - platform::processClock().monotonic());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        uint8_t buffer[wire::kNtpPacketSize] = {};
        platform::Endpoint from;
        const platform::IoResult got =
            socket.receiveFrom(buffer, sizeof buffer, &from, left, &stopEvent_);
        if (got.error == platform::wsa::kInterrupted) {
            stopped = true;
            return std::nullopt;
        }
        // A longer datagram (a header with extension fields) is read from its first 48 bytes.
        if (!got.ok() && got.error != platform::wsa::kMessageSize) {
            return std::nullopt;
        }
        arrival = time_.now();

        // Only the server asked, answering this very request, may set the clock: anything
        // else on the socket is ignored and the wait goes on.
        const std::string sender = from.addressText();
        if (!(from == server)) {
            messages_.debug(name(), "Ignoring datagram from %s:%u, not the server asked",
                            sender.c_str(), static_cast<unsigned>(from.port));
            continue;
        }
        const std::optional<wire::NtpPacket> packet = wire::NtpPacket::fromBytes(buffer, got.count);
        if (!packet) {
            messages_.debug(name(), "Ignoring %ld-byte datagram from %s", got.count,
                            sender.c_str());
            continue;
        }
        if (!packet->sameStamp(wire::NtpPacket::kOriginate, request, wire::NtpPacket::kTransmit)) {
            messages_.debug(name(), "Ignoring reply from %s that does not answer our request",
                            sender.c_str());
            continue;
        }
        return packet;
    }
}

}  // namespace netclients
