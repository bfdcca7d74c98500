#include "netclients/CicmpClient.h"

#include <chrono>
#include <cstring>

#include "core/ErrorText.h"
#include "core/TimeValue.h"
#include "engine/DialupGate.h"
#include "platform/Clock.h"

namespace netclients {

CicmpClient::CicmpClient(core::MessageHandler& messages, core::TimeHandler& time,
                         std::string serverAddress, int pollMinutes, engine::DialupGate* dialup)
    : CNetTimeClient(messages, time, std::move(serverAddress), pollMinutes, kSourceName, dialup,
                     kDefaultReplyTimeout) {}

CicmpClient::~CicmpClient() {
    stop();
}

uint32_t CicmpClient::millisecondsToday() {
    const platform::UnixTime t = core::unixFromTimeValue(time_.now());
    int64_t seconds = t.seconds % 86400;
    if (seconds < 0) {
        seconds += 86400;
    }
    return static_cast<uint32_t>(seconds * 1000 + t.milliseconds);
}

CicmpClient::Outcome CicmpClient::measure() {
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

    // Without the right to open a raw socket the client can never work: it ends.
    platform::Socket socket;
    if (!socket.open(platform::Socket::Type::IcmpRaw).ok()) {
        messages_.error(name(), "Couldn't create socket(%s)", core::winsockErrorText().c_str());
        return Outcome::Fatal;
    }

    const platform::Endpoint server{address, 0};
    wire::IcmpSample first;
    wire::IcmpSample second;
    Sampled result = sample(socket, server, first);
    if (result == Sampled::Ok) {
        if (pause(kSampleSpacing)) {
            result = sample(socket, server, second);
        } else {
            result = Sampled::Stopped;
        }
    }
    if (result == Sampled::Stopped) {
        return Outcome::Stopped;
    }
    if (result == Sampled::Failed) {
        time_.sourceFailed();
        return Outcome::Done;
    }

    const bool networkOrder = wire::peerUsesNetworkOrder(first.receive, second.receive);
    const int64_t offsetMs = wire::icmpOffsetMs(second, networkOrder);
    const auto host = [networkOrder](uint32_t raw) {
        return static_cast<double>(networkOrder ? wire::fromNetworkOrder(raw) : raw);
    };
    messages_.debug(name(), "orig=%f recv=%f trans=%f now=%f",
                    static_cast<double>(wire::fromNetworkOrder(second.originate)),
                    host(second.receive), host(second.transmit), static_cast<double>(second.local));
    time_.setTime(static_cast<double>(offsetMs) / 1000.0);
    time_.setReferenceId(core::referenceIdFromText("ICMP"));
    return Outcome::Done;
}

CicmpClient::Sampled CicmpClient::sample(platform::Socket& socket, const platform::Endpoint& server,
                                         wire::IcmpSample& out) {
    const wire::IcmpRequest request = wire::icmpTimestampRequest(millisecondsToday());
    const platform::IoResult sent = socket.sendTo(request.data(), request.size(), server);
    if (!sent.ok() || static_cast<size_t>(sent.count) != request.size()) {
        messages_.warn(name(), "sendto failed(%s)", core::winsockErrorText(sent.error).c_str());
        return Sampled::Failed;
    }
    uint32_t sentOriginate = 0;
    std::memcpy(&sentOriginate, &request[8], sizeof sentOriginate);
    const auto deadline = platform::processClock().monotonic() + replyTimeout();
    for (;;) {
        auto left =
            std::chrono::ceil<platform::Millis>(deadline - platform::processClock().monotonic());
        if (left.count() < 0) {
            left = platform::Millis(0);
        }
        uint8_t buffer[1024];
        platform::Endpoint from;
        const platform::IoResult got =
            socket.receiveFrom(buffer, sizeof buffer, &from, left, &stopEvent_);
        if (got.error == platform::wsa::kInterrupted) {
            return Sampled::Stopped;
        }
        if (!got.ok() && got.error != platform::wsa::kMessageSize) {
            messages_.warn(name(), "No response");
            return Sampled::Failed;
        }
        const uint32_t local = millisecondsToday();
        const wire::IcmpMessage m = wire::decodeIcmpMessage(buffer, static_cast<size_t>(got.count));

        // A raw socket sees every ICMP message that reaches this host, our own requests among
        // them on loopback: only what answers our request counts.
        if (m.kind == wire::IcmpMessage::Kind::Unreachable) {
            if (m.quotesOurs) {
                messages_.warn(name(), "request failed(%s)", wire::unreachableText(m.code).c_str());
                return Sampled::Failed;
            }
            continue;
        }
        if (!(from.address == server.address)) {
            continue;
        }
        if (m.kind == wire::IcmpMessage::Kind::Truncated || m.type == wire::kIcmpTimestampRequest) {
            continue;
        }
        if (m.kind == wire::IcmpMessage::Kind::Timestamp) {
            // Another process's reply, or the answer to an earlier request of ours.
            if (!m.ours || m.originate != sentOriginate) {
                continue;
            }
            out = {m.originate, m.receive, m.transmit, local};
            return Sampled::Ok;
        }
        messages_.warn(name(), "time stamp request unrecognised response(%d)",
                       static_cast<int>(m.type));
        return Sampled::Failed;
    }
}

}  // namespace netclients
