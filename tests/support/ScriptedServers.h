#pragma once
// Small in-test servers on 127.0.0.1 for the odd cases no real peer produces: each connection
// or datagram goes to a script that answers (or not) as the test wants.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "Loopback.h"
#include "platform/Event.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

namespace testsupport {

// Accepts connections one at a time and hands each to the script; the connection closes when
// the script returns. `stopped` is set when the server is going away (for scripts that wait).
class ScriptedTcpServer {
public:
    using Script = std::function<void(platform::Socket& connection, platform::Event& stopped)>;

    explicit ScriptedTcpServer(Script script) : script_(std::move(script)) {
        EXPECT_TRUE(listener_.open(platform::Socket::Type::Tcp).ok());
        EXPECT_TRUE(listener_.bind(loopback(0)).ok());
        EXPECT_TRUE(listener_.listen(5).ok());
        port_ = listener_.localEndpoint().port;
        thread_ = std::make_unique<platform::Thread>([this] { serve(); });
    }
    ~ScriptedTcpServer() {
        stop_.set();
        thread_.reset();
    }

    uint16_t port() const { return port_; }
    int connections() const { return connections_.load(); }
    platform::Event& connected() { return connected_; }

private:
    void serve() {
        while (!stop_.isSet()) {
            platform::Status status;
            platform::Socket connection =
                listener_.accept(nullptr, status, platform::Millis(100), &stop_);
            if (!status.ok()) {
                continue;
            }
            ++connections_;
            connected_.set();
            script_(connection, stop_);
        }
    }

    Script script_;
    platform::Socket listener_;
    uint16_t port_ = 0;
    platform::Event stop_{true};
    platform::Event connected_{true};
    std::atomic<int> connections_{0};
    std::unique_ptr<platform::Thread> thread_;
};

// Hands every datagram to the script with its sender.
class ScriptedUdpServer {
public:
    using Script = std::function<void(platform::Socket& socket, const platform::Endpoint& from)>;

    explicit ScriptedUdpServer(Script script) : script_(std::move(script)) {
        EXPECT_TRUE(socket_.open(platform::Socket::Type::Udp).ok());
        EXPECT_TRUE(socket_.bind(loopback(0)).ok());
        port_ = socket_.localEndpoint().port;
        thread_ = std::make_unique<platform::Thread>([this] { serve(); });
    }
    ~ScriptedUdpServer() {
        stop_.set();
        thread_.reset();
    }

    uint16_t port() const { return port_; }
    platform::Event& received() { return received_; }

private:
    void serve() {
        while (!stop_.isSet()) {
            char buffer[512];
            platform::Endpoint from;
            const auto got =
                socket_.receiveFrom(buffer, sizeof buffer, &from, platform::Millis(100), &stop_);
            if (got.ok()) {
                received_.set();
                script_(socket_, from);
            }
        }
    }

    Script script_;
    platform::Socket socket_;
    uint16_t port_ = 0;
    platform::Event stop_{true};
    platform::Event received_{true};
    std::unique_ptr<platform::Thread> thread_;
};

// Sends all of `text` on a connection.
inline void sendAll(platform::Socket& connection, const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        const auto sent = connection.send(text.data() + at, text.size() - at);
        if (!sent.ok() || sent.count <= 0) {
            return;
        }
        at += static_cast<size_t>(sent.count);
    }
}

// Reads a request up to its blank line (or until the peer stops sending).
inline std::string readRequest(platform::Socket& connection) {
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const auto got = connection.receive(buffer, sizeof buffer, platform::Millis(5000));
        if (!got.ok() || got.count <= 0) {
            break;
        }
        request.append(buffer, static_cast<size_t>(got.count));
    }
    return request;
}

}  // namespace testsupport
