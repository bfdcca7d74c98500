#pragma once
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

    ~CRfcTimeClient() override;

protected:
    CRfcTimeClient(core::MessageHandler& messages, core::TimeHandler& time,
                   std::string serverAddress, int pollMinutes, std::string sourceName,
                   engine::DialupGate* dialup, Transport transport, const Protocol& protocol);

    // Turns an answer of `size` bytes (at least `shortest`) into a result for the handlers.
    virtual void useAnswer(const uint8_t* data, size_t size) = 0;

private:
    // One answer over the transport; the reply time-out bounds the connect and every receive.
    Outcome measure() override;
    // One exchange; false when it failed (already reported) or was stopped.
    bool exchangeTcp(platform::Socket& socket, const platform::Endpoint& server, uint8_t* answer,
                     size_t& size, bool& stopped);
    bool exchangeUdp(platform::Socket& socket, const platform::Endpoint& server, uint8_t* answer,
                     size_t& size, bool& stopped);

    const Transport transport_;
    const Protocol protocol_;
};

// One of the four RFC clients: a protocol (RFC 868 time, RFC 867 daytime), which names its TCP
// and UDP clients, over one transport.
template <typename RfcProtocol, CRfcTimeClient::Transport transport>
class CRfcClient final : public RfcProtocol {
public:
    static constexpr const char* kSourceName = transport == CRfcTimeClient::Transport::Tcp
                                                   ? RfcProtocol::kTcpSourceName
                                                   : RfcProtocol::kUdpSourceName;

    CRfcClient(core::MessageHandler& messages, core::TimeHandler& time, std::string serverAddress,
               int pollMinutes, engine::DialupGate* dialup)
        : RfcProtocol(messages, time, std::move(serverAddress), pollMinutes, kSourceName, dialup,
                      transport) {}
    // The thread stops while the protocol's answer reader still exists: stopped only by the
    // base's destructor, it could call a reader already gone.
    ~CRfcClient() override { this->stop(); }
};

}  // namespace netclients
