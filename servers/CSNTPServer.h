#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "engine/CTimeServer.h"
#include "engine/SntpExchange.h"
#include "platform/Socket.h"
#include "wire/NtpPacket.h"

namespace servers {

// Owns the UDP socket on the NTP port: answers SNTP requests with the engine's time (only
// while the engine is synchronised), and files the mode-4 answers and other hosts' mode-5
// broadcasts it receives for the alternative and broadcast clients.
class CSNTPServer : public engine::CTimeServer, public engine::SntpExchange {
public:
    static constexpr const char* kName = "SNTP Server";
    static constexpr const char* kMulticastGroup = "224.0.1.1";

    CSNTPServer(core::MessageHandler& messages, core::TimeHandler& time, int stratum = 14);
    ~CSNTPServer() override;

    void run() override;

    platform::IoResult sendFromServerSocket(const void* data, size_t size,
                                            const platform::Endpoint& to) override;
    platform::Event& replyEvent() override { return replyEvent_; }
    Received lastReply() const override;
    platform::Event& broadcastEvent() override { return broadcastEvent_; }
    Received lastBroadcast() const override;

    // How this host's own address is found (ownIPv4Address unless a test gives another); it
    // runs on a thread of its own when the server starts and ends when the server stops.
    using OwnAddressLookup = std::function<uint32_t(platform::Event& stop)>;
    void setOwnAddressLookup(OwnAddressLookup lookup) { ownAddressLookup_ = std::move(lookup); }

    // What every answer to one batch of datagrams shares, read once for the batch.
    struct Batch {
        bool debug = false;
        bool synchronised = false;
        wire::NtpPacket answer;  // without byte 0, originate, reference and transmit
    };
    Batch beginBatch(double received);
    // One received datagram of `size` bytes (at most its first 48 are read): true when
    // `answer` (48 bytes, its reference and transmit times still to be set) is to be sent
    // back. Only whole requests of modes 1 and 3 from a client's port (or the NTP port) are
    // answered; whole answers and broadcasts are filed for the clients; everything else is
    // dropped. Public so that it can be driven without a socket.
    bool handle(const Batch& batch, const uint8_t* datagram, size_t size,
                const platform::Endpoint& from, uint8_t* answer);

private:
    bool openSocket();
    void closeSocket();
    void lookUpOwnAddress();
    static constexpr int kBatch = 64;

    void fileBroadcast(const uint8_t* datagram, const platform::Endpoint& from);

    const uint8_t stratum_;
    platform::Event replyEvent_{true};
    platform::Event broadcastEvent_{true};

    uint16_t port_ = wire::kNtpFallbackPort;
    platform::Socket socket_;
    mutable std::mutex mutex_;  // guards the socket's lifetime against senders, and the buffers
    bool socketReady_ = false;
    Received reply_;
    Received broadcast_;

    OwnAddressLookup ownAddressLookup_;
    std::atomic<uint32_t> ownAddress_{0};  // 0 until the lookup has found it
};

}  // namespace servers
