#pragma once
#include "netclients/CRfcTimeClient.h"

namespace netclients {

// RFC 868 time: the server's clock as 4 bytes of seconds since 1900, whole seconds only.
class Crfc868Client : public CRfcTimeClient {
public:
    static constexpr const char* kTcpSourceName = "RFC868 TCP Client";
    static constexpr const char* kUdpSourceName = "RFC868 UDP Client";

protected:
    Crfc868Client(core::MessageHandler& messages, core::TimeHandler& time,
                  std::string serverAddress, int pollMinutes, std::string sourceName,
                  engine::DialupGate* dialup, Transport transport);
    void useAnswer(const uint8_t* data, size_t size) override;
};

using Crfc868tcpClient = CRfcClient<Crfc868Client, CRfcTimeClient::Transport::Tcp>;
using Crfc868udpClient = CRfcClient<Crfc868Client, CRfcTimeClient::Transport::Udp>;

}  // namespace netclients
