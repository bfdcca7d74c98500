#pragma once
#include <condition_variable>
#include <mutex>
#include <string>

#include "core/Handlers.h"

namespace alerts {

// How the alert's message box reaches a person. It returns once the box is dismissed.
class AlertBox {
public:
    static constexpr const char* kCaption = "Alert";

    virtual ~AlertBox() = default;
    virtual void show(const std::string& text) = 0;
    // Takes down a box that is up, so a stop need not wait for a person; later shows
    // return at once.
    virtual void cancel() {}
};

// On a desktop: a beep and a box without owner, brought to the front, with one OK button.
class DesktopAlertBox : public AlertBox {
public:
    void show(const std::string& text) override;
    void cancel() override;

private:
    std::mutex mutex_;
    std::condition_variable shown_;
    bool cancelled_ = false;
    bool showing_ = false;
    unsigned long thread_ = 0;
};

// A service has no desktop to show a box on: the text becomes an Error line of its log (and
// of the console in a debug run).
class LoggedAlertBox : public AlertBox {
public:
    LoggedAlertBox(core::MessageHandler& messages, std::string source)
        : messages_(messages), source_(std::move(source)) {}
    void show(const std::string& text) override;

private:
    core::MessageHandler& messages_;
    std::string source_;
};

}  // namespace alerts
