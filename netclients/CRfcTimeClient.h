#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/CTimeClient.h"
#include "platform/Socket.h"

namespace engine {
class DialupGate;
}

namespace netclients {

// What the RFC 868 time and RFC 867 daytime clients share: once per poll, resolve the server,
// fetch one short answer over TCP or UDP, and let the protocol turn it into a correction.
class CRfcTimeClient : public engine::CNetTimeClient {
public:
    enum class Transport { Tcp, Udp };

    // What sets the two protocols apart on the wire.
    struct Protocol {
        const char* service;    // "time" or "daytime"
        uint16_t fallbackPort;  // when the service database has no entry
        size_t tcpLimit;        // bytes asked for by the one TCP receive
        size_t udpLimit;        // largest datagram taken
        size_t shortest;        // fewer bytes are no answer
    };

    static constexpr platform::Millis kDefaultReplyTimeout{15000};
    static constexpr long long kDialupRetryMs = 5000;

    ~CRfcTimeClient() override;

    // Bounds the connect and every receive; never scaled, since it bounds a network round trip.
    void setReplyTimeout(platform::Millis timeout) { replyTimeoutMs_.store(timeout.count()); }
    platform::Millis replyTimeout() const { return platform::Millis(replyTimeoutMs_.load()); }

    void run() override;

protected:
    CRfcTimeClient(core::MessageHandler& messages, core::TimeHandler& time,
                   std::string serverAddress, int pollMinutes, std::string sourceName,
                   engine::DialupGate* dialup, Transport transport, const Protocol& protocol);

    // Turns an answer of `size` bytes (at least `shortest`) into a result for the handlers.
    virtual void useAnswer(const uint8_t* data, size_t size) = 0;

private:
    enum class Outcome { Done, Stopped, Fatal };

    Outcome poll();
    // One exchange; false when it failed (already reported) or was stopped.
    bool exchangeTcp(platform::Socket& socket, const platform::Endpoint& server, uint8_t* answer,
                     size_t& size, bool& stopped);
    bool exchangeUdp(platform::Socket& socket, const platform::Endpoint& server, uint8_t* answer,
                     size_t& size, bool& stopped);

    engine::DialupGate* const dialup_;
    const Transport transport_;
    const Protocol protocol_;
    std::atomic<long long> replyTimeoutMs_{kDefaultReplyTimeout.count()};
};

}  // namespace netclients
