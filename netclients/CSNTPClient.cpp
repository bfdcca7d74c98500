#include "netclients/CSNTPClient.h"

#include <chrono>

#include "core/ErrorText.h"
#include "engine/SntpExchange.h"
#include "platform/Clock.h"
#include "platform/Seams.h"

namespace netclients {

namespace {
// Both clients without a socket stop as servers do.
constexpr platform::Millis kSocketlessStopPatience{2000};
constexpr platform::Millis kBroadcastWait{1000};
}  // namespace

CSNTPClient::CSNTPClient(core::MessageHandler& messages, core::TimeHandler& time,
                         std::string serverAddress, int pollMinutes, bool rejectNtp,
                         engine::DialupGate* dialup, engine::SntpExchange* server)
    : CNetTimeClient(messages, time, std::move(serverAddress), pollMinutes, kSourceName, dialup),
      rejectNtp_(rejectNtp),
      exchange_(server) {}

CSNTPClient::~CSNTPClient() {
    stop();
}

void CSNTPClient::stop() {
    stopThread(kSocketlessStopPatience);
}

bool CSNTPClient::beginPolling() {
    messages_.debug(name(), "started");
    signalStarted();
    return !server_.empty();
}

CSNTPClient::Outcome CSNTPClient::measure() {
    const Outcome outcome = askServer();
    if (outcome != Outcome::Stopped && exchange_ != nullptr) {
        exchange_->replyEvent().reset();
    }
    return outcome;
}

CSNTPClient::Outcome CSNTPClient::askServer() {
    const uint16_t port = platform::servicePort("ntp", "udp", wire::kNtpFallbackPort);
    messages_.info(name(), "connecting to %s", server_.c_str());
    uint32_t address = 0;
    if (!platform::resolveIPv4(server_, address, &stopEvent_).ok()) {
        messages_.warn(name(), "Couldn't determine address for %s, (%s)", server_.c_str(),
                       core::winsockErrorText().c_str());
        time_.sourceFailed();
        return Outcome::Done;
    }
    const platform::Endpoint server{address, port};
    const wire::NtpPacket request = wire::NtpPacket::request(time_.now());
    platform::IoResult sent{0, platform::wsa::kNotSocket};
    if (exchange_ != nullptr) {
        exchange_->replyEvent().reset();
        sent = exchange_->sendFromServerSocket(request.data(), wire::kNtpPacketSize, server);
    }
    if (!sent.ok() || sent.count < static_cast<long>(wire::kNtpPacketSize)) {
        messages_.warn(name(), "sendto failed(%s)", core::winsockErrorText(sent.error).c_str());
        time_.sourceFailed();
        return Outcome::Done;
    }

    // Only the server asked, answering this very request, may set the clock: other mode-4
    // datagrams the server socket files meanwhile are passed over and the wait goes on.
    const auto deadline = platform::processClock().monotonic() + replyTimeout();
    for (;;) {
        const auto left =
            std::chrono::ceil<platform::Millis>(deadline - platform::processClock().monotonic());
        if (left.count() <= 0) {
            messages_.warn(name(), "no response (%s)",
                           core::winsockErrorText(platform::wsa::kTimedOut).c_str());
            time_.sourceFailed();
            return Outcome::NoReply;
        }
        const int which = platform::Event::waitAny({&stopEvent_, &exchange_->replyEvent()}, left);
        if (which == 0) {
            return Outcome::Stopped;
        }
        if (which < 0) {
            continue;
        }
        // Reset before reading, so a reply filed after the read signals again.
        exchange_->replyEvent().reset();
        const engine::SntpExchange::Received got = exchange_->lastReply();
        const double arrival = time_.now();
        const wire::NtpPacket reply(got.bytes);
        if (!(got.sender == server) ||
            !reply.sameStamp(wire::NtpPacket::kOriginate, request, wire::NtpPacket::kTransmit)) {
            messages_.debug(name(), "Ignoring reply from %s that does not answer our request",
                            got.sender.addressText().c_str());
            continue;
        }
        if (!reply.usable(rejectNtp_)) {
            messages_.warn(name(), ", server %s is not synchronized", server_.c_str());
            time_.sourceFailed();
            return Outcome::Done;
        }
        time_.setTime(reply.clientOffset(arrival));
        time_.setReferenceId(core::referenceIdFromAddress(address));
        return Outcome::Done;
    }
}

CSNTPBroadcastClient::CSNTPBroadcastClient(core::MessageHandler& messages, core::TimeHandler& time,
                                           std::string senderName, int pollMinutes,
                                           engine::SntpExchange* server)
    : CTimeClient(messages, time, std::move(senderName), pollMinutes, kSourceName),
      exchange_(server) {}

CSNTPBroadcastClient::~CSNTPBroadcastClient() {
    stop();
}

void CSNTPBroadcastClient::stop() {
    stopThread(kSocketlessStopPatience);
}

void CSNTPBroadcastClient::run() {
    messages_.debug(name(), "started");
    signalStarted();
    bool filter = false;
    uint32_t filterAddress = 0;
    if (server_.empty()) {
        messages_.info(name(), " listening");
    } else {
        messages_.info(name(), " listening to %s", server_.c_str());
        if (platform::resolveIPv4(server_, filterAddress, &stopEvent_).ok()) {
            filter = true;
        } else {
            messages_.warn(name(), "Couldn't determine address for %s, (%s)", server_.c_str(),
                           core::winsockErrorText().c_str());
        }
    }
    if (exchange_ == nullptr) {
        // No SNTP server runs to hear broadcasts: nothing to do but wait for the stop.
        stopEvent_.wait();
        return;
    }
    double holdOffUntil = 0;
    while (!stopping()) {
        exchange_->broadcastEvent().reset();
        const int which =
            platform::Event::waitAny({&stopEvent_, &exchange_->broadcastEvent()}, kBroadcastWait);
        if (which == 0) {
            break;
        }
        if (which < 0) {
            continue;
        }
        const engine::SntpExchange::Received got = exchange_->lastBroadcast();
        if (filter && got.sender.address != filterAddress) {
            continue;
        }
        const double now = time_.now();
        if (holdOffUntil < now) {
            time_.setTime(wire::NtpPacket(got.bytes).broadcastOffset(now));
            time_.setReferenceId(core::referenceIdFromAddress(got.sender.address));
            // The hold-off is a schedule wait, so it shrinks with the time scale.
            const double holdOff =
                static_cast<double>(platform::scheduleWait(pollMinutes() * 60000LL).count()) /
                1000.0;
            holdOffUntil = now + holdOff;
        }
    }
}

}  // namespace netclients
