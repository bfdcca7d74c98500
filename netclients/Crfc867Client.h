#pragma once
#include "netclients/CRfcTimeClient.h"

namespace netclients {

// RFC 867 daytime: free text, of which only the minutes and seconds count, so the clock is
// corrected within the hour.
class Crfc867Client : public CRfcTimeClient {
public:
    static constexpr const char* kTcpSourceName = "RFC867 TCP Client";
    static constexpr const char* kUdpSourceName = "RFC867 UDP Client";

protected:
    Crfc867Client(core::MessageHandler& messages, core::TimeHandler& time,
                  std::string serverAddress, int pollMinutes, std::string sourceName,
                  engine::DialupGate* dialup, Transport transport);
    void useAnswer(const uint8_t* data, size_t size) override;
};

using Crfc867tcpClient = CRfcClient<Crfc867Client, CRfcTimeClient::Transport::Tcp>;
using Crfc867udpClient = CRfcClient<Crfc867Client, CRfcTimeClient::Transport::Udp>;

}  // namespace netclients
