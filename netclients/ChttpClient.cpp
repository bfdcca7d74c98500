#include "netclients/ChttpClient.h"

#include <chrono>

#include "core/ErrorText.h"
#include "core/Format.h"
#include "core/TimeValue.h"
#include "engine/DialupGate.h"
#include "platform/Clock.h"
#include "wire/DaytimeText.h"

namespace netclients {

ChttpClient::ChttpClient(core::MessageHandler& messages, core::TimeHandler& time,
                         std::string serverAddress, int pollMinutes, bool useProxy,
                         const engine::ProxySettings& proxy, engine::DialupGate* dialup)
    : CNetTimeClient(messages, time, std::move(serverAddress), pollMinutes, kSourceName, dialup),
      useProxy_(useProxy),
      proxy_(proxy) {}

ChttpClient::~ChttpClient() {
    stop();
}

bool ChttpClient::beginPolling() {
    signalStarted();
    messages_.debug(name(), "started");
    target_ = useProxy_ ? wire::proxyTarget(server_, proxy_.address, proxy_.port)
                        : wire::directTarget(server_);
    if (target_.host.empty()) {
        // Nothing to connect to: fail the source, so the engine moves on to the next.
        if (useProxy_) {
            messages_.error(name(), "No proxy address set for %s", server_.c_str());
        } else {
            messages_.error(name(), "No host name in %s", server_.c_str());
        }
        time_.sourceFailed();
        return false;
    }
    return true;
}

// Every attempt, failed or not, waits for the next poll: a failing server is not hammered.
ChttpClient::Outcome ChttpClient::measure() {
    messages_.info(name(), "Connecting to %s port %d", target_.host.c_str(),
                   static_cast<int>(target_.port));
    uint32_t address = 0;
    const platform::Status resolved = platform::resolveIPv4(target_.host, address, &stopEvent_);
    if (resolved.error == platform::wsa::kInterrupted) {
        return Outcome::Stopped;
    }
    if (!resolved.ok()) {
        messages_.warn(name(), "couldn't determine address for %s, (%s)", target_.host.c_str(),
                       core::winsockErrorText(resolved.error).c_str());
        time_.sourceFailed();
        return Outcome::Done;
    }

    platform::Socket socket;
    if (!socket.open(platform::Socket::Type::Tcp).ok()) {
        messages_.error(name(), "Couldn't create socket(%s)", core::winsockErrorText().c_str());
        return Outcome::Fatal;
    }
    const platform::Status connected =
        socket.connect({address, target_.port}, replyTimeout(), &stopEvent_);
    if (connected.error == platform::wsa::kInterrupted) {
        return Outcome::Stopped;
    }
    if (!connected.ok()) {
        messages_.warn(name(), "Couldn't connect to host %s (%s)", target_.host.c_str(),
                       core::winsockErrorText(connected.error).c_str());
        time_.sourceFailed();
        return Outcome::Done;
    }

    const std::string authorisation =
        useProxy_ && proxy_.nameNeeded ? wire::base64(proxy_.name + ":" + proxy_.password) : "";
    const std::string request = wire::httpRequest(target_.path, authorisation);
    // The password is not the log's business.
    messages_.debug(
        name(), "%s",
        authorisation.empty() ? request.c_str() : wire::httpRequest(target_.path, "****").c_str());
    const platform::IoResult sent = socket.send(request.data(), request.size());
    if (!sent.ok() || static_cast<size_t>(sent.count) != request.size()) {
        messages_.warn(name(), "send failed(%s)", core::winsockErrorText(sent.error).c_str());
        return Outcome::Done;
    }

    std::string reply;
    const platform::IoResult got = receiveReply(socket, reply);
    if (got.error == platform::wsa::kInterrupted) {
        return Outcome::Stopped;
    }
    if (!got.ok() || reply.empty()) {
        messages_.warn(name(), "recv failed(%s)", core::winsockErrorText(got.error).c_str());
        return Outcome::Done;
    }
    messages_.debug(name(), "Received %d characters", static_cast<int>(reply.size()));
    messages_.debug(name(), "%s", core::printableForLog(reply).c_str());
    useReply(reply);
    return Outcome::Done;
}

platform::IoResult ChttpClient::receiveReply(platform::Socket& socket, std::string& reply) {
    // One deadline for the whole reply, so a server that trickles or never closes is cut off.
    const auto deadline = platform::processClock().monotonic() + replyTimeout();
    char buffer[kReceiveBuffer];
    size_t used = 0;
    platform::IoResult got;
    while (used < sizeof buffer) {
        auto left =
            std::chrono::ceil<platform::Millis>(deadline - platform::processClock().monotonic());
        if (left.count() < 0) {
            left = platform::Millis(0);
        }
        got = socket.receive(buffer + used, sizeof buffer - used, left, &stopEvent_);
        if (!got.ok() || got.count == 0) {
            break;
        }
        used += static_cast<size_t>(got.count);
    }
    reply.assign(buffer, used);
    // A full buffer is a reply cut short, not a failure: its headers are in it. Nor is a server
    // that sent its reply but does not close.
    if (used == sizeof buffer || (used > 0 && got.error == platform::wsa::kTimedOut)) {
        return {static_cast<long>(used), 0};
    }
    return {static_cast<long>(used), got.error};
}

void ChttpClient::useReply(const std::string& reply) {
    const wire::HttpTime found = wire::readHttpReply(reply);
    const double now = time_.now();
    switch (found.kind) {
        case wire::HttpTime::Kind::HttpError:
            messages_.warn(name(), "%s", wire::httpErrorText(found.status).c_str());
            time_.sourceFailed();
            return;
        case wire::HttpTime::Kind::Date: {
            const double server = static_cast<double>(found.unixSeconds) + core::kNtpUnixOffset;
            time_.setTime(server - now);
            break;
        }
        case wire::HttpTime::Kind::TimeOfDay:
            time_.setTime(wire::correctionWithinHour(wire::localSecondsWithinHour(now),
                                                     found.secondsWithinHour));
            break;
        case wire::HttpTime::Kind::NoTime:
            messages_.warn(name(), "No valid time returned");
            time_.sourceFailed();
            return;
    }
    time_.setReferenceId(core::referenceIdFromText("HTTP"));
}

}  // namespace netclients
