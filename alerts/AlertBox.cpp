#include "alerts/AlertBox.h"

#include <chrono>

#include "platform/Clock.h"
#include "platform/MessageBox.h"

namespace alerts {

namespace {

// Within the 3000 ms a watchdog's stop waits for its thread.
constexpr std::chrono::milliseconds kCancelPatience{2000};

}  // namespace

void DesktopAlertBox::show(const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) {
            return;
        }
        showing_ = true;
        thread_ = platform::currentThreadId();
    }
    platform::simpleBeep();
    (void)platform::messageBox(text, kCaption, platform::kMbOk | platform::kMbSetForeground);
    std::lock_guard lock(mutex_);
    showing_ = false;
    shown_.notify_all();
}

void DesktopAlertBox::cancel() {
    std::unique_lock lock(mutex_);
    cancelled_ = true;
    // The box may not be up yet when the show has just begun: ask again until it has gone,
    // for as long as a stop is willing to wait.
    const auto end = platform::processClock().monotonic() + kCancelPatience;
    while (showing_ && platform::processClock().monotonic() < end) {
        const unsigned long thread = thread_;
        lock.unlock();
        (void)platform::closeMessageBoxes(thread);
        lock.lock();
        shown_.wait_for(lock, std::chrono::milliseconds(50), [this] { return !showing_; });
    }
}

void LoggedAlertBox::show(const std::string& text) {
    messages_.error(source_, "%s", text.c_str());
}

}  // namespace alerts
