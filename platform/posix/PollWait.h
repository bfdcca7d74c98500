#pragma once
#include <chrono>
#include <climits>

#include "platform/Event.h"

namespace platform {

// A deadline on monotonic time for poll(): a step of the wall clock never shortens or
// stretches a wait.
class PollDeadline {
public:
    explicit PollDeadline(Millis timeout)
        : infinite_(timeout == kInfinite), end_(deadlineAfter(timeout)) {}

    int remainingMs() const {
        if (infinite_) {
            return -1;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return 0;
        }
        return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
    }
    bool expired() const { return !infinite_ && std::chrono::steady_clock::now() >= end_; }

private:
    bool infinite_;
    std::chrono::steady_clock::time_point end_;
};

}  // namespace platform
