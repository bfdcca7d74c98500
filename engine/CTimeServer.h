#pragma once
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/ThreadObject.h"

namespace engine {

// The base of every time server. Concrete classes call stop() in their destructor.
class CTimeServer : public core::ThreadObject {
public:
    static constexpr platform::Millis kStopPatience{2000};
    // The pause after a failed receive or accept, so a lasting failure does not spin.
    static constexpr platform::Millis kFailurePause{100};

    CTimeServer(core::MessageHandler& messages, core::TimeHandler& time, std::string name);
    ~CTimeServer() override;

    virtual void start();
    virtual void stop();

protected:
    // A receive or accept that failed for another reason than the stop: an Error ("`what`
    // (text of the error)") the first time of an episode of failures, then a short pause on
    // the stop event. False when the stop came, which ends the server.
    bool carryOnAfter(const char* what, int error);
    // A receive that worked ends an episode of failures.
    void receivedAgain() { failing_.reset(); }
    // The message handler's activity notice, at most once a second.
    void noteActivity(int kind);
    // Below 1024 are the ports of services (echo, chargen, daytime, time, ...), never a
    // client's: answering them would let a forged sender set two servers bouncing datagrams
    // for ever.
    static bool fromServicePort(uint16_t port) { return port < 1024; }

private:
    std::optional<int> failing_;  // the error of the episode under way
    std::optional<std::chrono::steady_clock::time_point> lastNotice_;
};

}  // namespace engine
