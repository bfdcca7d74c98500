#pragma once
#include "netclients/CRfcTimeClient.h"

namespace netclients {

// RFC 868 time: the server's clock as 4 bytes of seconds since 1900, whole seconds only.
class Crfc868Client : public CRfcTimeClient {
protected:
    Crfc868Client(core::MessageHandler& messages, core::TimeHandler& time,
                  std::string serverAddress, int pollMinutes, std::string sourceName,
                  engine::DialupGate* dialup, Transport transport);
    void useAnswer(const uint8_t* data, size_t size) override;
};

class Crfc868tcpClient : public Crfc868Client {
public:
    static constexpr const char* kSourceName = "RFC868 TCP Client";
    Crfc868tcpClient(core::MessageHandler& messages, core::TimeHandler& time,
                     std::string serverAddress, int pollMinutes, engine::DialupGate* dialup)
        : Crfc868Client(messages, time, std::move(serverAddress), pollMinutes, kSourceName, dialup,
                        Transport::Tcp) {}
};

class Crfc868udpClient : public Crfc868Client {
public:
    static constexpr const char* kSourceName = "RFC868 UDP Client";
    Crfc868udpClient(core::MessageHandler& messages, core::TimeHandler& time,
                     std::string serverAddress, int pollMinutes, engine::DialupGate* dialup)
        : Crfc868Client(messages, time, std::move(serverAddress), pollMinutes, kSourceName, dialup,
                        Transport::Udp) {}
};

}  // namespace netclients
