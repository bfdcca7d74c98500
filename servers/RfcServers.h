#pragma once
#include <string>

#include "servers/AnswerServers.h"

namespace servers {

// RFC 868 time: 4 bytes of seconds since 1900.
class Crfc868udpServer : public CUdpAnswerServer {
public:
    Crfc868udpServer(core::MessageHandler& messages, core::TimeHandler& time)
        : CUdpAnswerServer(messages, time, "RFC868 UDP Server", "time", 37) {}
    ~Crfc868udpServer() override { stop(); }

protected:
    size_t answer(char* out) override { return timeAnswer(time_.now(), out); }
};

class Crfc868tcpServer : public CTcpAnswerServer {
public:
    Crfc868tcpServer(core::MessageHandler& messages, core::TimeHandler& time)
        : CTcpAnswerServer(messages, time, "RFC868 TCP Server", "time", 37) {}
    ~Crfc868tcpServer() override { stop(); }

protected:
    size_t answer(char* out) override { return timeAnswer(time_.now(), out); }
};

// RFC 867 daytime: the date text followed by the engine's shared text.
class Crfc867udpServer : public CUdpAnswerServer {
public:
    Crfc867udpServer(core::MessageHandler& messages, core::TimeHandler& time)
        : CUdpAnswerServer(messages, time, "RFC867 UDP Server", "daytime", 13) {}
    ~Crfc867udpServer() override { stop(); }

protected:
    size_t answer(char* out) override {
        const std::string text = time_.sharedText();
        return daytimeAnswer(time_.now(), text.data(), text.size(), out);
    }
};

class Crfc867tcpServer : public CTcpAnswerServer {
public:
    Crfc867tcpServer(core::MessageHandler& messages, core::TimeHandler& time)
        : CTcpAnswerServer(messages, time, "RFC867 TCP Server", "daytime", 13) {}
    ~Crfc867tcpServer() override { stop(); }

protected:
    size_t answer(char* out) override {
        const std::string text = time_.sharedText();
        return daytimeAnswer(time_.now(), text.data(), text.size(), out);
    }
};

}  // namespace servers
