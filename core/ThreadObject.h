#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "core/Handlers.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace core {

// What clients and servers share: one thread running `run`, a started event the thread
// signals, and a stop event every blocking wait of the thread also watches, so stopping
// always ends the thread by joining it.
class ThreadObject {
public:
    ThreadObject(MessageHandler& messages, TimeHandler& time, std::string name);
    virtual ~ThreadObject();
    ThreadObject(const ThreadObject&) = delete;
    ThreadObject& operator=(const ThreadObject&) = delete;

    virtual void run() = 0;

    const std::string& name() const { return name_; }
    bool stopping() const { return stopping_.load(); }
    bool running() const { return thread_ && !thread_->finished(); }

protected:
    // Creates the thread and waits up to 2 s for it to signal that it runs.
    void startThread();
    // Signals the stop event and waits for the thread; after `patience` it says "Killing" and
    // keeps waiting, since a thread is never killed.
    void stopThread(platform::Millis patience);
    void signalStarted() { started_.set(); }
    void markStopped() { stopping_.store(true); }

    MessageHandler& messages_;
    TimeHandler& time_;
    platform::Event stopEvent_{true};

private:
    std::string name_;
    platform::Event started_{true};
    std::atomic<bool> stopping_{false};
    std::unique_ptr<platform::Thread> thread_;
};

}  // namespace core
