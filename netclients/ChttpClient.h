#pragma once
#include <cstddef>
#include <string>

#include "engine/CTimeClient.h"
#include "engine/EngineSettings.h"
#include "platform/Socket.h"
#include "wire/HttpReply.h"

namespace engine {
class DialupGate;
}

namespace netclients {

// The HTTP time client: once per poll one HTTP/1.0 GET to a web server, directly or through a
// proxy, and the time from the reply's "Date:" header (else from a time of day in the reply,
// within the hour).
class ChttpClient : public engine::CNetTimeClient {
public:
    static constexpr const char* kSourceName = "HTTP Client";
    // Room for the status line, the headers and the start of the body; the rest is not read.
    static constexpr size_t kReceiveBuffer = 16384;

    // `proxy` is used when `useProxy` is set.
    ChttpClient(core::MessageHandler& messages, core::TimeHandler& time, std::string serverAddress,
                int pollMinutes, bool useProxy, const engine::ProxySettings& proxy,
                engine::DialupGate* dialup);
    ~ChttpClient() override;

private:
    // Works out where to connect (the server or the proxy); false when there is nowhere.
    bool beginPolling() override;
    // One GET; the reply time-out bounds the connect and the whole reply.
    Outcome measure() override;
    // Reads until the server closes, the buffer is full, the time-out or a stop.
    platform::IoResult receiveReply(platform::Socket& socket, std::string& reply);
    void useReply(const std::string& reply);

    const bool useProxy_;
    const engine::ProxySettings proxy_;
    wire::HttpTarget target_;
};

}  // namespace netclients
