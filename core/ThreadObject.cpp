#include "core/ThreadObject.h"

namespace core {

namespace {
constexpr platform::Millis kStartWait{2000};
}

ThreadObject::ThreadObject(MessageHandler& messages, TimeHandler& time, std::string name)
    : messages_(messages), time_(time), name_(std::move(name)) {}

// Derived classes stop their thread in their own destructor, while their members still
// exist; this is the last line of defence.
ThreadObject::~ThreadObject() {
    stopEvent_.set();
    thread_.reset();
}

void ThreadObject::startThread() {
    if (thread_) {
        return;
    }
    thread_ = std::make_unique<platform::Thread>([this] { run(); });
    // A thread that never signals is still taken as started after the wait.
    started_.wait(kStartWait);
}

void ThreadObject::stopThread(platform::Millis patience) {
    stopEvent_.set();
    stopping_.store(true);
    if (!thread_) {
        return;
    }
    messages_.debug(name_, "Stopping");
    if (!thread_->joinFor(patience)) {
        messages_.debug(name_, "Killing");
        thread_->joinFor(platform::kInfinite);
    }
    thread_.reset();
}

}  // namespace core
