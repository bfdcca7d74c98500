#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

#include "engine/CTimeServer.h"
#include "engine/SntpExchange.h"
#include "netclients/NtpPacket.h"
#include "platform/Socket.h"

namespace servers {

// Owns the UDP socket on the NTP port: answers SNTP requests with the engine's time (only
// while the engine is synchronised), and files the mode-4 answers and other hosts' mode-5
// broadcasts it receives for the alternative and broadcast clients.
class CSNTPServer : public engine::CTimeServer, public engine::SntpExchange {
public:
    static constexpr const char* kName = "SNTP Server";
    static constexpr const char* kMulticastGroup = "224.0.1.1";

    CSNTPServer(engine::MessageHandler& messages, engine::TimeHandler& time, int stratum = 14);
    ~CSNTPServer() override;

    void run() override;

    platform::IoResult sendFromServerSocket(const void* data, size_t size,
                                            const platform::Endpoint& to) override;
    platform::Event& replyEvent() override { return replyEvent_; }
    Received lastReply() const override;
    platform::Event& broadcastEvent() override { return broadcastEvent_; }
    Received lastBroadcast() const override;

private:
    bool openSocket();
    void closeSocket();
    static constexpr int kBatch = 64;

    // What every answer to one batch of datagrams shares, read once for the batch.
    struct Batch {
        bool debug = false;
        bool synchronised = false;
        netclients::NtpPacket answer;  // without byte 0, originate, reference and transmit
    };
    Batch beginBatch(double received);
    // One received datagram (its first 48 bytes): true when `answer` (48 bytes, its
    // reference and transmit times still to be set) is to be sent back.
    bool handle(const Batch& batch, const uint8_t* request, const platform::Endpoint& from,
                uint8_t* answer);
    void fileBroadcast(const uint8_t* datagram, const platform::Endpoint& from);

    const uint8_t stratum_;
    platform::Event replyEvent_{true};
    platform::Event broadcastEvent_{true};

    platform::Socket socket_;
    mutable std::mutex mutex_;  // guards the socket's lifetime against senders, and the buffers
    bool socketReady_ = false;
    Received reply_;
    Received broadcast_;

    bool ownAddressKnown_ = false;
    uint32_t ownAddress_ = 0;
};

}  // namespace servers
