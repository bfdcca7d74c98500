#include "servers/CSNTPServer.h"

#include <algorithm>
#include <cstring>

#include "core/ErrorText.h"
#include "platform/Thread.h"
#include "servers/OwnAddress.h"
#include "wire/NtpPacket.h"

namespace servers {

using wire::NtpPacket;
using wire::NtpTimestamp;

namespace {
// WSAECONNRESET: an earlier answer was refused by its peer; the socket still works.
constexpr int kConnectionReset = 10054;
}  // namespace

CSNTPServer::CSNTPServer(core::MessageHandler& messages, core::TimeHandler& time, int stratum)
    : CTimeServer(messages, time, kName),
      stratum_(static_cast<uint8_t>(std::clamp(stratum, 0, 15))) {}

CSNTPServer::~CSNTPServer() {
    stop();
}

bool CSNTPServer::openSocket() {
    platform::Socket socket;
    if (!socket.open(platform::Socket::Type::Udp).ok()) {
        messages_.error(name(), "Couldn't create socket(%s)", core::winsockErrorText().c_str());
        return false;
    }
    if (!socket.setReuseAddress(true).ok()) {
        messages_.error(name(), "Couldn't set socket options(%s)",
                        core::winsockErrorText().c_str());
        return false;
    }
    port_ = platform::servicePort("ntp", "udp", wire::kNtpFallbackPort);
    if (!socket.bind({0, port_}).ok()) {
        messages_.error(name(), "Couldn't bind socket (%s)", core::winsockErrorText().c_str());
        return false;
    }
    // A host without a multicast route still has unicast clients to answer.
    if (!socket.joinMulticastGroup(*platform::parseDottedIPv4(kMulticastGroup)).ok()) {
        messages_.error(name(), "Couldn't add membership of multicast group (%s)",
                        core::winsockErrorText().c_str());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    socket_ = std::move(socket);
    socketReady_ = true;
    return true;
}

void CSNTPServer::closeSocket() {
    std::lock_guard<std::mutex> lock(mutex_);
    socketReady_ = false;
    socket_.close();
}

void CSNTPServer::lookUpOwnAddress() {
    ownAddress_.store(ownAddressLookup_ ? ownAddressLookup_(stopEvent_)
                                        : ownIPv4Address(&stopEvent_));
}

void CSNTPServer::run() {
    if (!openSocket()) {
        signalStarted();  // the thread has run its course; nobody need wait for it
        return;
    }
    messages_.debug(name(), "started");
    signalStarted();
    // Only telling this host's broadcasts from others' needs the own address: a slow name
    // server must not hold up the answers. Ends with the stop, before the thread does.
    platform::Thread lookup([this] { lookUpOwnAddress(); });

    // A busy server takes every queued request in one call and sends the answers in one;
    // an idle one waits for the next request on the stop event as well, then takes whatever
    // queued behind it.
    uint8_t requests[kBatch][wire::kNtpPacketSize];
    uint8_t answers[kBatch][wire::kNtpPacketSize];
    platform::Datagram in[kBatch];
    platform::Datagram out[kBatch];
    for (int i = 0; i < kBatch; ++i) {
        in[i].data = requests[i];
        in[i].size = sizeof requests[i];
        out[i].data = answers[i];
        out[i].size = sizeof answers[i];
    }
    while (!stopping()) {
        int count = socket_.receiveWaitingBatch(in, kBatch);
        if (count == 0) {
            const platform::IoResult got = socket_.receiveFrom(
                requests[0], sizeof requests[0], &in[0].peer, platform::kInfinite, &stopEvent_);
            if (got.error == kConnectionReset) {
                continue;
            }
            // A longer datagram (extension fields, an authenticator) is read from its first
            // 48 bytes. Only the stop ends the server.
            if (!got.ok() && got.error != platform::wsa::kMessageSize) {
                if (!carryOnAfter("recvfrom failed", got.error)) {
                    break;
                }
                continue;
            }
            in[0].length = got.count;
            count = 1 + socket_.receiveWaitingBatch(in + 1, kBatch - 1);
        }
        receivedAgain();
        // One reading stamps the whole batch: every datagram of it was queued by now.
        const Batch batch = beginBatch(time_.now());
        int answered = 0;
        bool served = false;
        for (int i = 0; i < count; ++i) {
            const size_t length =
                std::min(static_cast<size_t>(std::max(0L, in[i].length)), sizeof requests[i]);
            if (handle(batch, requests[i], length, in[i].peer, answers[answered])) {
                served = true;
                // An unsynchronised server keeps quiet rather than hand out a wrong time.
                if (batch.synchronised) {
                    out[answered].peer = in[i].peer;
                    ++answered;
                }
            }
        }
        if (served) {
            noteActivity(1);
        }
        if (answered == 0) {
            continue;
        }
        // The transmit time is taken once the answers are ready, just before they go; it is
        // the engine's current time for the reference timestamp as well.
        const NtpTimestamp transmit = wire::encodeTimestamp(time_.now());
        for (int i = 0; i < answered; ++i) {
            NtpPacket::putTimestamp(answers[i] + NtpPacket::kReferenceTime, transmit);
            NtpPacket::putTimestamp(answers[i] + NtpPacket::kTransmit, transmit);
        }
        if (socket_.sendBatch(out, answered) < answered) {
            messages_.warn(name(), "sendto failed (%s)", core::winsockErrorText().c_str());
        }
    }
    closeSocket();
}

CSNTPServer::Batch CSNTPServer::beginBatch(double received) {
    Batch batch;
    batch.debug = messages_.logsDebug();
    batch.synchronised = time_.synchronised();
    NtpPacket::ServerFields fields;
    fields.stratum = stratum_;
    fields.pollExponent = time_.pollExponent();
    fields.referenceId = time_.referenceId();
    fields.receiveTime = received;
    batch.answer = NtpPacket::serverReply(NtpPacket(), fields);
    return batch;
}

bool CSNTPServer::handle(const Batch& batch, const uint8_t* datagram, size_t size,
                         const platform::Endpoint& from, uint8_t* answer) {
    // Anything but a whole request, answer or broadcast is dropped unanswered: answering it
    // could set two servers answering each other for ever.
    switch (wire::classifyNtpDatagram(datagram, size)) {
        case wire::NtpDatagram::Ignored:
            return false;
        case wire::NtpDatagram::ServerReply: {
            NtpPacket::Bytes bytes;
            std::memcpy(bytes.data(), datagram, bytes.size());
            if (batch.debug) {
                messages_.debug(name(), "NTP response received");
                messages_.debug(name(), "%s", NtpPacket(bytes).diagnosticLine().c_str());
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                reply_.bytes = bytes;
                reply_.sender = from;
            }
            replyEvent_.set();
            return false;
        }
        case wire::NtpDatagram::Broadcast:
            fileBroadcast(datagram, from);
            return false;
        case wire::NtpDatagram::Request:
            // A client asks from an ephemeral port, a symmetric peer from the NTP port; a
            // request "from" another service's port (daytime, echo, ...) is a forgery.
            if (fromServicePort(from.port) && from.port != port_) {
                return false;
            }
            break;
    }
    if (batch.debug) {
        NtpPacket::Bytes bytes;
        std::memcpy(bytes.data(), datagram, bytes.size());
        messages_.debug(name(), "%s", NtpPacket(bytes).diagnosticLine().c_str());
        messages_.debug(name(), "Time request received from %s", from.addressText().c_str());
    }
    // The batch's answer with this request's version and mode (4 to mode 3, 2 to mode 1),
    // and its transmit timestamp echoed as originate; reference and transmit times follow
    // just before sending.
    std::memcpy(answer, batch.answer.data(), wire::kNtpPacketSize);
    answer[0] = NtpPacket::replyByte0(datagram[0]);
    std::memcpy(answer + NtpPacket::kOriginate, datagram + NtpPacket::kTransmit, 8);
    return true;
}

void CSNTPServer::fileBroadcast(const uint8_t* datagram, const platform::Endpoint& from) {
    // Until the lookup has found the own address, loopback senders are still known as ours.
    if (isOwnAddress(from.address, ownAddress_.load())) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::memcpy(broadcast_.bytes.data(), datagram, broadcast_.bytes.size());
        broadcast_.sender = from;
    }
    broadcastEvent_.set();
    if (messages_.logsDebug()) {
        messages_.debug(name(), "Time broadcast received from %s", from.addressText().c_str());
        messages_.debug(name(), "%s", NtpPacket(broadcast_.bytes).diagnosticLine().c_str());
    }
}

platform::IoResult CSNTPServer::sendFromServerSocket(const void* data, size_t size,
                                                     const platform::Endpoint& to) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!socketReady_) {
        return {0, platform::wsa::kNotSocket};
    }
    return socket_.sendTo(data, size, to);
}

engine::SntpExchange::Received CSNTPServer::lastReply() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reply_;
}

engine::SntpExchange::Received CSNTPServer::lastBroadcast() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return broadcast_;
}

}  // namespace servers
