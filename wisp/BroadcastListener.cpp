#include "wisp/BroadcastListener.h"

#include <array>
#include <cstring>

#include "netclients/NtpPacket.h"

namespace wisp {

using netclients::NtpPacket;

bool BroadcastAcceptance::accepts(uint32_t sender, int stratum, double now) const {
    return !(sender != sender_ && stratum >= stratum_ && now - time_ < kHoldSeconds);
}

void BroadcastAcceptance::accepted(uint32_t sender, int stratum, double now) {
    sender_ = sender;
    stratum_ = stratum;
    time_ = now;
}

BroadcastListener::BroadcastListener(Console& console, platform::Clock& clock, ClockTrim& trim,
                                     bool answerRequests)
    : console_(console), clock_(clock), trim_(trim), answerRequests_(answerRequests) {}

bool BroadcastListener::open() {
    if (!socket_.open(platform::Socket::Type::Udp)) {
        console_.print("Couldn't create NTP server socket (%d)", platform::lastSocketError());
        return false;
    }
    const uint16_t port = platform::servicePort("ntp", "udp", netclients::kNtpFallbackPort);
    if (!socket_.bind({0, port})) {
        console_.print("Couldn't bind NTP socket. (%d)  Is Wisp or Kronel running?",
                       platform::lastSocketError());
        socket_.close();
        return false;
    }
    if (!socket_.joinMulticastGroup(*platform::parseDottedIPv4(kMulticastGroup))) {
        console_.print("Couldn't add membership of multicast group (%d)",
                       platform::lastSocketError());
        socket_.close();
        return false;
    }
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
    std::array<uint8_t, netclients::kNtpPacketSize> buffer{};
    platform::Endpoint from;
    const platform::IoResult got =
        socket_.receiveFrom(buffer.data(), buffer.size(), &from, timeout, stop);
    if (!got.ok() && got.error != platform::wsa::kMessageSize) {
        if (got.error == platform::wsa::kTimedOut || got.error == platform::wsa::kInterrupted) {
            return false;
        }
        console_.print("NTP server recvfrom failed");
        return false;
    }
    handle(buffer.data(), static_cast<size_t>(got.count), from, ntpNow(clock_));
    return true;
}

void BroadcastListener::handle(const uint8_t* data, size_t size, const platform::Endpoint& from,
                               double now) {
    const std::string sender = from.addressText();
    const int mode = size > 0 ? (data[0] & 7) : 0;
    console_.print("NTP message received from %s mode %d", sender.c_str(), mode);
    // A datagram shorter than the header carries no time to act on.
    const auto packet = NtpPacket::fromBytes(data, size);
    if (mode == netclients::kModeBroadcast) {
        if (packet) {
            const netclients::NtpTimestamp sent = packet->timestamp(NtpPacket::kTransmit);
            const double t = static_cast<double>(sent.seconds) +
                             static_cast<double>(sent.fraction) / 4294967296.0;
            const int stratum = packet->stratum();
            // A broadcast without a transmit time would step the clock back to 1900.
            if (stratum >= 1 && stratum <= 16 && sent.seconds != 0 &&
                acceptance_.accepts(from.address, stratum, now)) {
                trim_.correct(t - now);
                acceptance_.accepted(from.address, stratum, ntpNow(clock_));
            }
        }
        console_.print("NTP Time broadcast received from %s", sender.c_str());
    } else if (mode == netclients::kModeClient && answerRequests_ && packet) {
        answer(data, from, now);
    }
}

void BroadcastListener::answer(const uint8_t* request, const platform::Endpoint& to,
                               double received) {
    NtpPacket::Bytes bytes{};
    bytes[0] = kAnswerByte0;
    bytes[NtpPacket::kStratum] = kLocalStratum;
    bytes[NtpPacket::kPoll] = request[NtpPacket::kPoll];
    bytes[NtpPacket::kPrecision] = static_cast<uint8_t>(netclients::kServerPrecision);
    std::memcpy(&bytes[NtpPacket::kReferenceId], "LOCL", 4);
    std::memcpy(&bytes[NtpPacket::kOriginate], &request[NtpPacket::kTransmit], 8);
    NtpPacket reply(bytes);
    reply.setTime(NtpPacket::kReceive, received);
    const double sending = ntpNow(clock_);
    reply.setTime(NtpPacket::kReferenceTime, sending);
    reply.setTime(NtpPacket::kTransmit, sending);
    if (!socket_.sendTo(reply.data(), netclients::kNtpPacketSize, to).ok()) {
        console_.print("NTP server sendto failed");
    }
}

}  // namespace wisp
