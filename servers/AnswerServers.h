#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/CTimeServer.h"
#include "platform/Socket.h"

namespace servers {

// The longest answer a server gives: the 24-character date, a blank and the engine's text.
inline constexpr size_t kMaxAnswer = 512;

// A server that answers every datagram it receives, whatever its content, with one datagram.
class CUdpAnswerServer : public engine::CTimeServer {
public:
    CUdpAnswerServer(core::MessageHandler& messages, core::TimeHandler& time, const char* name,
                     const char* service, uint16_t fallbackPort);
    ~CUdpAnswerServer() override;
    void run() override;

protected:
    // Writes the answer into `out` (kMaxAnswer bytes) and returns its length.
    virtual size_t answer(char* out) = 0;

private:
    const char* const service_;
    const uint16_t fallbackPort_;
};

// A server that accepts a connection, sends the answer and closes it.
class CTcpAnswerServer : public engine::CTimeServer {
public:
    CTcpAnswerServer(core::MessageHandler& messages, core::TimeHandler& time, const char* name,
                     const char* service, uint16_t fallbackPort);
    ~CTcpAnswerServer() override;
    void run() override;

protected:
    virtual size_t answer(char* out) = 0;

private:
    const char* const service_;
    const uint16_t fallbackPort_;
};

// RFC 868: the seconds since 1900 of `timeValue` in 4 bytes, network order.
size_t timeAnswer(double timeValue, char* out);
// RFC 867: "Tue Dec  8 03:08:00 2026 " followed by `text` (no line end), at most kMaxAnswer
// bytes.
size_t daytimeAnswer(double timeValue, const char* text, size_t textLength, char* out);

}  // namespace servers
