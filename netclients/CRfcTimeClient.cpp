#include "netclients/CRfcTimeClient.h"

#include <chrono>
#include <vector>

#include "core/ErrorText.h"
#include "engine/DialupGate.h"
#include "platform/Clock.h"

namespace netclients {

CRfcTimeClient::CRfcTimeClient(core::MessageHandler& messages, core::TimeHandler& time,
                               std::string serverAddress, int pollMinutes, std::string sourceName,
                               engine::DialupGate* dialup, Transport transport,
                               const Protocol& protocol)
    : CNetTimeClient(messages, time, std::move(serverAddress), pollMinutes, std::move(sourceName),
                     dialup),
      transport_(transport),
      protocol_(protocol) {}

CRfcTimeClient::~CRfcTimeClient() {
    stop();
}

CRfcTimeClient::Outcome CRfcTimeClient::measure() {
    const bool tcp = transport_ == Transport::Tcp;
    const uint16_t port =
        platform::servicePort(protocol_.service, tcp ? "tcp" : "udp", protocol_.fallbackPort);
    messages_.info(name(), "connecting to %s", server_.c_str());

    uint32_t address = 0;
    const platform::Status resolved = platform::resolveIPv4(server_, address, &stopEvent_);
    if (resolved.error == platform::wsa::kInterrupted) {
        return Outcome::Stopped;
    }
    if (!resolved.ok()) {
        messages_.warn(name(), "Couldn't determine address for %s, (%s)", server_.c_str(),
                       core::winsockErrorText(resolved.error).c_str());
        time_.sourceFailed();
        return Outcome::Done;
    }

    platform::Socket socket;
    if (!socket.open(tcp ? platform::Socket::Type::Tcp : platform::Socket::Type::Udp).ok()) {
        messages_.error(name(), "Couldn't create socket(%s)", core::winsockErrorText().c_str());
        return Outcome::Fatal;
    }

    const platform::Endpoint server{address, port};
    std::vector<uint8_t> answer(tcp ? protocol_.tcpLimit : protocol_.udpLimit);
    size_t size = 0;
    bool stopped = false;
    const bool ok = tcp ? exchangeTcp(socket, server, answer.data(), size, stopped)
                        : exchangeUdp(socket, server, answer.data(), size, stopped);
    if (stopped) {
        return Outcome::Stopped;
    }
    if (ok) {
        useAnswer(answer.data(), size);
    } else {
        time_.sourceFailed();
    }
    return Outcome::Done;
}

bool CRfcTimeClient::exchangeTcp(platform::Socket& socket, const platform::Endpoint& server,
                                 uint8_t* answer, size_t& size, bool& stopped) {
    const platform::Status connected = socket.connect(server, replyTimeout(), &stopEvent_);
    if (connected.error == platform::wsa::kInterrupted) {
        stopped = true;
        return false;
    }
    if (!connected.ok()) {
        messages_.warn(name(), "Couldn't connect to host(%s)",
                       core::winsockErrorText(connected.error).c_str());
        return false;
    }
    // One receive, bounded so that a silent server cannot hold the client for ever.
    const platform::IoResult got =
        socket.receive(answer, protocol_.tcpLimit, replyTimeout(), &stopEvent_);
    if (got.error == platform::wsa::kInterrupted) {
        stopped = true;
        return false;
    }
    if (!got.ok() || static_cast<size_t>(got.count) < protocol_.shortest) {
        if (got.ok()) {
            messages_.debug(name(), "Answer of %ld byte%s is too short", got.count,
                            core::plural(static_cast<double>(got.count)));
        }
        messages_.warn(name(), "recv failed(%s)", core::winsockErrorText(got.error).c_str());
        return false;
    }
    size = static_cast<size_t>(got.count);
    return true;
}

bool CRfcTimeClient::exchangeUdp(platform::Socket& socket, const platform::Endpoint& server,
                                 uint8_t* answer, size_t& size, bool& stopped) {
    const uint8_t request = 0;
    const platform::IoResult sent = socket.sendTo(&request, 1, server);
    if (!sent.ok() || sent.count != 1) {
        messages_.warn(name(), "sendto failed(%s)", core::winsockErrorText(sent.error).c_str());
        return false;
    }
    // One deadline for the whole wait, so stray datagrams cannot stretch it.
    const auto deadline = platform::processClock().monotonic() + replyTimeout();
    for (;;) {
        auto left =
            std::chrono::ceil<platform::Millis>(deadline - platform::processClock().monotonic());
        if (left.count() < 0) {
            left = platform::Millis(0);
        }
        platform::Endpoint from;
        const platform::IoResult got =
            socket.receiveFrom(answer, protocol_.udpLimit, &from, left, &stopEvent_);
        if (got.error == platform::wsa::kInterrupted) {
            stopped = true;
            return false;
        }
        // A longer datagram is read from its first bytes.
        if (!got.ok() && got.error != platform::wsa::kMessageSize) {
            messages_.warn(name(), "recvfrom failed(%s)",
                           core::winsockErrorText(got.error).c_str());
            return false;
        }
        if (!(from == server)) {
            messages_.debug(name(), "Ignoring datagram from %s:%u, not the server asked",
                            from.addressText().c_str(), static_cast<unsigned>(from.port));
            continue;
        }
        if (static_cast<size_t>(got.count) < protocol_.shortest) {
            messages_.debug(name(), "Answer of %ld byte%s is too short", got.count,
                            core::plural(static_cast<double>(got.count)));
            messages_.warn(name(), "recvfrom failed(%s)", core::winsockErrorText(0).c_str());
            return false;
        }
        size = static_cast<size_t>(got.count);
        return true;
    }
}

}  // namespace netclients
