#include "wisp/BroadcastListener.h"
#include "core/Format.h"

#include <array>
#include <cmath>
#include <cstring>
#include <optional>

#include "wire/NtpPacket.h"

namespace wisp {

using wire::NtpPacket;

bool BroadcastAcceptance::accepts(uint32_t sender, int stratum, double now) const {
    return !(sender != sender_ && stratum >= stratum_ && now - time_ < kHoldSeconds);
}

void BroadcastAcceptance::accepted(uint32_t sender, int stratum, double now) {
    sender_ = sender;
    stratum_ = stratum;
    time_ = now;
}

DatagramVerdict judgeDatagram(const uint8_t* data, size_t size, Destination to,
                              const ListenerOptions& options, double now) {
    DatagramVerdict verdict;
    switch (wire::classifyNtpDatagram(data, size)) {
        case wire::NtpDatagram::Request:
            // Only client requests: a symmetric peer gets nothing from a stratum-15 listener.
            if (options.answerRequests && (data[0] & 7) == wire::kModeClient) {
                verdict.action = DatagramVerdict::Action::Answer;
            }
            return verdict;
        case wire::NtpDatagram::Broadcast:
            break;
        default:
            return verdict;
    }
    const auto packet = NtpPacket::fromBytes(data, size);
    const wire::NtpTimestamp sent = packet->timestamp(NtpPacket::kTransmit);
    verdict.stratum = packet->stratum();
    // A broadcast without transmit seconds would step the clock back to 1900.
    if (to == Destination::Unicast || sent.seconds == 0 || verdict.stratum < 1 ||
        verdict.stratum > 16) {
        return verdict;
    }
    const double t =
        static_cast<double>(sent.seconds) + static_cast<double>(sent.fraction) / 4294967296.0;
    verdict.delta = t - now;
    const bool tooLarge =
        options.maxStep > 0 && !(std::fabs(verdict.delta) <= static_cast<double>(options.maxStep));
    verdict.action =
        tooLarge ? DatagramVerdict::Action::TooLarge : DatagramVerdict::Action::Correct;
    return verdict;
}

BroadcastListener::BroadcastListener(Console& console, platform::Clock& clock, ClockTrim& trim,
                                     const ListenerOptions& options)
    : console_(console), clock_(clock), trim_(trim), options_(options) {}

bool BroadcastListener::open() {
    if (!socket_.open(platform::Socket::Type::Udp)) {
        console_.print("Couldn't create NTP server socket (%d)", platform::lastSocketError());
        return false;
    }
    const uint16_t port = platform::servicePort("ntp", "udp", wire::kNtpFallbackPort);
    if (!socket_.bind({0, port})) {
        console_.print("Couldn't bind NTP socket. (%d)  Is Wisp or Kronel running?",
                       platform::lastSocketError());
        socket_.close();
        return false;
    }
    if (!socket_.joinMulticastGroup(*platform::parseDottedIPv4(kMulticastGroup))) {
        // Without a multicast route broadcasts still come.
        console_.print("Couldn't add membership of multicast group (%d)",
                       platform::lastSocketError());
    }
    // Where the system cannot tell, every broadcast is taken as before.
    destinations_ = socket_.receiveDestinations().ok();
    return true;
}

void BroadcastListener::run(platform::Event& stop) {
    while (!stop.isSet()) {
        if (!receiveOne(platform::kInfinite, &stop) && !stop.isSet()) {
            // A socket that keeps failing must not spin the processor.
            stop.wait(platform::Millis(100));
        }
    }
}

bool BroadcastListener::receiveOne(platform::Millis timeout, platform::Event* stop) {
    std::array<uint8_t, wire::kNtpPacketSize> buffer{};
    platform::Endpoint from;
    std::optional<uint32_t> to;
    const platform::IoResult got =
        socket_.receiveFromTo(buffer.data(), buffer.size(), &from, &to, timeout, stop);
    if (!got.ok() && got.error != platform::wsa::kMessageSize) {
        if (got.error == platform::wsa::kTimedOut ||
            (got.error == platform::wsa::kInterrupted && stop && stop->isSet())) {
            return false;
        }
        // Once for a run of failures: a flood must not fill the log.
        if (!receiveFailing_) {
            console_.print("NTP server recvfrom failed");
            receiveFailing_ = true;
        }
        return false;
    }
    receiveFailing_ = false;
    const auto size = static_cast<size_t>(got.count);
    Destination destination = Destination::Unknown;
    if (destinations_ && to &&
        wire::classifyNtpDatagram(buffer.data(), size) == wire::NtpDatagram::Broadcast) {
        destination =
            platform::isBroadcastOrMulticast(*to) ? Destination::Group : Destination::Unicast;
    }
    handle(buffer.data(), size, from, destination, ntpNow(clock_));
    return true;
}

void BroadcastListener::handle(const uint8_t* data, size_t size, const platform::Endpoint& from,
                               Destination to, double now) {
    const std::string sender = from.addressText();
    const int mode = size > 0 ? (data[0] & 7) : 0;
    if (options_.verbose) {
        console_.print("NTP message received from %s mode %d", sender.c_str(), mode);
    }
    const DatagramVerdict verdict = judgeDatagram(data, size, to, options_, now);
    switch (verdict.action) {
        case DatagramVerdict::Action::Answer:
            answer(data, from, now);
            break;
        case DatagramVerdict::Action::Correct:
        case DatagramVerdict::Action::TooLarge:
            if (!acceptance_.accepts(from.address, verdict.stratum, now)) {
                break;
            }
            if (verdict.action == DatagramVerdict::Action::TooLarge) {
                refuse(verdict.delta, sender, now);
                break;
            }
            trim_.correct(verdict.delta);
            acceptance_.accepted(from.address, verdict.stratum, ntpNow(clock_));
            break;
        case DatagramVerdict::Action::Ignore:
            break;
    }
    if (mode == wire::kModeBroadcast && options_.verbose) {
        if (to == Destination::Unicast) {
            console_.print("NTP Time broadcast from %s ignored: sent to this host alone",
                           sender.c_str());
        } else {
            console_.print("NTP Time broadcast received from %s", sender.c_str());
        }
    }
}

void BroadcastListener::refuse(double delta, const std::string& sender, double now) {
    // Forged broadcasts come as fast as anyone cares to send them: outside debug runs one
    // line a minute, with a count of those left out, keeps the log readable.
    if (!options_.verbose && lastRefusalLine_ && std::fabs(now - *lastRefusalLine_) < 60.0) {
        ++refusalsLeftOut_;
        return;
    }
    if (refusalsLeftOut_ > 0) {
        console_.print("%d more correction%s above maxstep refused", refusalsLeftOut_,
                       core::plural(refusalsLeftOut_));
    }
    console_.print("Correction of %.3f second%s from %s refused: more than maxstep (%d s)", delta,
                   core::plural(delta), sender.c_str(), options_.maxStep);
    lastRefusalLine_ = now;
    refusalsLeftOut_ = 0;
}

void BroadcastListener::answer(const uint8_t* request, const platform::Endpoint& to,
                               double received) {
    NtpPacket::Bytes bytes{};
    bytes[0] = kAnswerByte0;
    bytes[NtpPacket::kStratum] = kLocalStratum;
    bytes[NtpPacket::kPoll] = request[NtpPacket::kPoll];
    bytes[NtpPacket::kPrecision] = static_cast<uint8_t>(wire::kServerPrecision);
    std::memcpy(&bytes[NtpPacket::kReferenceId], "LOCL", 4);
    std::memcpy(&bytes[NtpPacket::kOriginate], &request[NtpPacket::kTransmit], 8);
    NtpPacket reply(bytes);
    reply.setTime(NtpPacket::kReceive, received);
    const double sending = ntpNow(clock_);
    reply.setTime(NtpPacket::kReferenceTime, sending);
    reply.setTime(NtpPacket::kTransmit, sending);
    if (!socket_.sendTo(reply.data(), wire::kNtpPacketSize, to).ok()) {
        console_.print("NTP server sendto failed");
    }
}

}  // namespace wisp
