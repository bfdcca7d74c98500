#pragma once
// A mail server of the test's own on loopback, for the replies a real one will not give:
// refusals, a close after the greeting, silence, a reply split over several sends.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Socket.h"
#include "platform/Thread.h"

namespace alertstest {

class ScriptedSmtpServer {
public:
    static constexpr const char* kClose = "<close>";    // close the connection
    static constexpr const char* kSilent = "<silent>";  // say nothing more

    // replies[0] is the greeting, then one reply per command; the message after DATA counts
    // as one command. A '|' in a reply splits it into sends 50 ms apart.
    explicit ScriptedSmtpServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
        EXPECT_TRUE(listener_.open(platform::Socket::Type::Tcp).ok());
        EXPECT_TRUE(listener_.bind({*platform::parseDottedIPv4("127.0.0.1"), 0}).ok());
        EXPECT_TRUE(listener_.listen(1).ok());
        port_ = listener_.localEndpoint().port;
        thread_ = std::make_unique<platform::Thread>([this] { serve(); });
    }
    ~ScriptedSmtpServer() {
        stop_.set();
        thread_.reset();
    }

    uint16_t port() const { return port_; }
    bool connected() const { return connected_.load(); }
    // Everything the client sent so far.
    std::string received() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    void serve() {
        platform::Status status;
        platform::Socket client = listener_.accept(nullptr, status, platform::kInfinite, &stop_);
        if (!status.ok()) {
            return;
        }
        connected_.store(true);
        bool data = false;
        size_t seen = 0;  // bytes of received_ already answered
        for (size_t i = 0; i < replies_.size(); ++i) {
            if (i > 0 && !awaitCommand(client, data, seen)) {
                return;
            }
            if (replies_[i] == kClose) {
                return;
            }
            if (replies_[i] == kSilent) {
                stop_.wait();
                return;
            }
            sendReply(client, replies_[i]);
            data = replies_[i].rfind("354", 0) == 0;
        }
        stop_.wait();
    }

    // Waits for the next command line, or for the end of the message in data mode.
    bool awaitCommand(platform::Socket& client, bool data, size_t& seen) {
        const std::string end = data ? "\r\n.\r\n" : "\n";
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                const size_t at = received_.find(end, seen);
                if (at != std::string::npos) {
                    seen = at + end.size();
                    return true;
                }
            }
            char buffer[512];
            const platform::IoResult got =
                client.receive(buffer, sizeof buffer, platform::kInfinite, &stop_);
            if (!got.ok() || got.count <= 0) {
                return false;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            received_.append(buffer, static_cast<size_t>(got.count));
        }
    }

    void sendReply(platform::Socket& client, const std::string& reply) {
        size_t begin = 0;
        for (;;) {
            const size_t bar = reply.find('|', begin);
            const std::string part = reply.substr(begin, bar - begin);
            (void)client.send(part.data(), part.size());
            if (bar == std::string::npos) {
                return;
            }
            platform::sleepFor(platform::Millis(50));
            begin = bar + 1;
        }
    }

    std::vector<std::string> replies_;
    platform::Socket listener_;
    uint16_t port_ = 0;
    platform::Event stop_{true};
    std::atomic<bool> connected_{false};
    mutable std::mutex mutex_;
    std::string received_;
    std::unique_ptr<platform::Thread> thread_;
};

// The replies of a server that accepts everything.
inline std::vector<std::string> acceptingReplies() {
    return {"220 test ready\r\n", "250 test\r\n",   "250 OK\r\n", "250 OK\r\n",
            "354 go ahead\r\n",   "250 queued\r\n", "221 bye\r\n"};
}

}  // namespace alertstest
