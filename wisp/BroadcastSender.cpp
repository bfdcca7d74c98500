#include "wisp/BroadcastSender.h"

#include "platform/Seams.h"
#include "wire/NtpPacket.h"
#include "wisp/BroadcastListener.h"
#include "wisp/ClockTrim.h"

namespace wisp {

using wire::NtpPacket;

BroadcastSender::BroadcastSender(Console& console, platform::Clock& clock)
    : console_(console), clock_(clock) {}

bool BroadcastSender::open() {
    if (!socket_.open(platform::Socket::Type::Udp)) {
        console_.print("Couldn't create NTP broadcast socket (%d)", platform::lastSocketError());
        return false;
    }
    if (!socket_.setReuseAddress(true)) {
        console_.print("Couldn't set SNTP broadcast socket options (%d)",
                       platform::lastSocketError());
        socket_.close();
        return false;
    }
    if (!socket_.setBroadcast(true)) {
        console_.print("Couldn't set SNTP socket to broadcast (%d)", platform::lastSocketError());
        socket_.close();
        return false;
    }
    return true;
}

void BroadcastSender::sendOne() {
    NtpPacket::Bytes bytes{};
    bytes[0] = wire::kBroadcastByte0;
    bytes[NtpPacket::kStratum] = kLocalStratum;
    NtpPacket packet(bytes);
    packet.setTime(NtpPacket::kTransmit, ntpNow(clock_));
    const platform::Endpoint to{*platform::parseDottedIPv4(kBroadcastAddress),
                                platform::servicePort("ntp", "udp", wire::kNtpFallbackPort)};
    if (!socket_.sendTo(packet.data(), wire::kNtpPacketSize, to).ok()) {
        console_.print("NTP server sendto failed");
    }
}

void BroadcastSender::run(platform::Event& stop) {
    do {
        sendOne();
    } while (!stop.wait(platform::scheduleWait(kBroadcastIntervalMs)));
}

}  // namespace wisp
