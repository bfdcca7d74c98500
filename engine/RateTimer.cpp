#include "engine/RateTimer.h"

#include <algorithm>
#include <utility>

#include "platform/Clock.h"

namespace engine {

RateTimer::RateTimer(std::function<void()> expired) : expired_(std::move(expired)) {
    thread_ = std::make_unique<platform::Thread>([this] { run(); });
}

RateTimer::~RateTimer() {
    stop();
}

void RateTimer::schedule(double seconds) {
    {
        std::lock_guard lock(mutex_);
        if (seconds < 0) {
            deadline_.reset();
        } else {
            deadline_ = platform::processClock().monotonic() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(seconds));
        }
    }
    changed_.set();
}

void RateTimer::stop() {
    stop_.set();
    thread_.reset();  // joins
}

void RateTimer::run() {
    for (;;) {
        platform::Millis wait = platform::kInfinite;
        {
            std::lock_guard lock(mutex_);
            if (deadline_) {
                const auto left = *deadline_ - platform::processClock().monotonic();
                wait = std::max(platform::Millis(0), std::chrono::ceil<platform::Millis>(left));
            }
        }
        const int woken = platform::Event::waitAny({&stop_, &changed_}, wait);
        if (woken == 0) {
            return;
        }
        if (woken == 1) {
            continue;
        }
        bool due = false;
        {
            std::lock_guard lock(mutex_);
            if (deadline_ && *deadline_ <= platform::processClock().monotonic()) {
                deadline_.reset();
                due = true;
            }
        }
        if (due) {
            expired_();
        }
    }
}

}  // namespace engine
