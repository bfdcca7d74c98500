#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/Event.h"
#include "platform/Thread.h"

namespace engine {

// One pending call on a thread of its own, on monotonic time: the engine's timer for the
// frequency discipline's rate changes. A step of the wall clock neither hastens nor delays
// it, and stopping wakes it at once.
class RateTimer {
public:
    explicit RateTimer(std::function<void()> expired);
    ~RateTimer();
    RateTimer(const RateTimer&) = delete;
    RateTimer& operator=(const RateTimer&) = delete;

    // Calls `expired` once `seconds` have passed, replacing any earlier request; negative
    // cancels. May be called from `expired` itself.
    void schedule(double seconds);
    // Ends the thread; nothing is called afterwards.
    void stop();

private:
    using Deadline = std::chrono::steady_clock::time_point;
    void run();

    std::function<void()> expired_;
    std::mutex mutex_;
    std::optional<Deadline> deadline_;
    platform::Event stop_{true};
    platform::Event changed_{false};
    std::unique_ptr<platform::Thread> thread_;
};

}  // namespace engine
