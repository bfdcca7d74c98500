#include "servers/CNTPBcastServer.h"

#include <algorithm>

#include "platform/Seams.h"
#include "platform/Socket.h"
#include "wire/NtpPacket.h"

namespace servers {

using wire::NtpPacket;

CNTPBcastServer::CNTPBcastServer(core::MessageHandler& messages, core::TimeHandler& time,
                                 int intervalSeconds, int stratum, std::string addresses,
                                 int multicastTtl)
    : CTimeServer(messages, time, kName),
      intervalSeconds_(intervalSeconds),
      stratum_(static_cast<uint8_t>(std::clamp(stratum, 0, 15))),
      multicastTtl_(multicastTtl),
      targets_(parseTargets(addresses)) {}

CNTPBcastServer::~CNTPBcastServer() {
    stop();
}

std::vector<CNTPBcastServer::Target> CNTPBcastServer::parseTargets(const std::string& list) {
    constexpr uint32_t kLimitedBroadcast = 0xFFFFFFFFu;
    std::vector<Target> targets;
    size_t begin = 0;
    while (begin <= list.size()) {
        size_t end = list.find(',', begin);
        if (end == std::string::npos) {
            end = list.size();
        }
        Target target;
        target.text = list.substr(begin, end - begin);
        if (!target.text.empty()) {
            const std::optional<uint32_t> address = platform::parseDottedIPv4(target.text);
            target.dotted = address.has_value();
            target.address = address.value_or(kLimitedBroadcast);
            targets.push_back(std::move(target));
        }
        begin = end + 1;
    }
    return targets;
}

void CNTPBcastServer::run() {
    messages_.debug(name(), "started");
    signalStarted();
    // Items that are not addresses still go to 255.255.255.255, as listeners may rely on it,
    // but the mistake in the list should be seen.
    for (const Target& target : targets_) {
        if (!target.dotted) {
            messages_.warn(name(), "%s is not an IPv4 address: broadcasting to 255.255.255.255",
                           target.text.c_str());
        }
    }
    while (!stopping()) {
        if (time_.synchronised()) {
            cycle();
        }
        if (stopEvent_.wait(
                platform::scheduleWait(static_cast<long long>(intervalSeconds_) * 1000))) {
            markStopped();
        }
    }
}

void CNTPBcastServer::cycle() {
    platform::Socket socket;
    // Like every other failure, tried again after the interval: only the stop ends the
    // server.
    if (!socket.open(platform::Socket::Type::Udp).ok()) {
        messages_.warn(name(), "Couldn't create socket (%d)", platform::lastSocketError());
        return;
    }
    if (!socket.setReuseAddress(true).ok()) {
        messages_.warn(name(), "Couldn't set socket options (%d)", platform::lastSocketError());
        return;
    }
    const uint16_t port = platform::servicePort("ntp", "udp", wire::kNtpFallbackPort);
    // Another program (our own SNTP server) may hold the port; sending works either way.
    (void)socket.bind({0, port});
    if (!socket.setBroadcast(true).ok()) {
        messages_.warn(name(), "Couldn't set socket to broadcast (%d)",
                       platform::lastSocketError());
        return;
    }
    if (!socket.setMulticastTtl(multicastTtl_).ok()) {
        messages_.warn(name(), "Couldn't set multicast time to live (%d)",
                       platform::lastSocketError());
        return;
    }
    const int poll = time_.pollExponent();
    for (const Target& target : targets_) {
        const NtpPacket packet =
            NtpPacket::broadcast(stratum_, poll, time_.referenceId(), time_.now(), time_.now());
        const platform::IoResult sent =
            socket.sendTo(packet.data(), packet.bytes().size(), {target.address, port});
        if (messages_.logsDebug()) {
            if (!sent.ok()) {
                messages_.debug(name(), "sendto failed");
            }
            messages_.debug(name(), "Time broadcast to %s", target.text.c_str());
        }
    }
    noteActivity(2);
}

}  // namespace servers
