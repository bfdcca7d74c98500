#pragma once
#include "netclients/CRfcTimeClient.h"

namespace netclients {

// RFC 867 daytime: free text, of which only the minutes and seconds count, so the clock is
// corrected within the hour.
class Crfc867Client : public CRfcTimeClient {
protected:
    Crfc867Client(core::MessageHandler& messages, core::TimeHandler& time,
                  std::string serverAddress, int pollMinutes, std::string sourceName,
                  engine::DialupGate* dialup, Transport transport);
    void useAnswer(const uint8_t* data, size_t size) override;
};

class Crfc867tcpClient : public Crfc867Client {
public:
    static constexpr const char* kSourceName = "RFC867 TCP Client";
    Crfc867tcpClient(core::MessageHandler& messages, core::TimeHandler& time,
                     std::string serverAddress, int pollMinutes, engine::DialupGate* dialup)
        : Crfc867Client(messages, time, std::move(serverAddress), pollMinutes, kSourceName, dialup,
                        Transport::Tcp) {}
};

class Crfc867udpClient : public Crfc867Client {
public:
    static constexpr const char* kSourceName = "RFC867 UDP Client";
    Crfc867udpClient(core::MessageHandler& messages, core::TimeHandler& time,
                     std::string serverAddress, int pollMinutes, engine::DialupGate* dialup)
        : Crfc867Client(messages, time, std::move(serverAddress), pollMinutes, kSourceName, dialup,
                        Transport::Udp) {}
};

}  // namespace netclients
