#include "platform/Thread.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace platform {

struct Thread::Impl {
    Event done{true};
    std::thread thread;
    std::mutex joinMutex;
};

Thread::Thread(std::function<void()> body) : impl_(std::make_unique<Impl>()) {
    Impl* impl = impl_.get();
    impl_->thread = std::thread([impl, body = std::move(body)] {
        body();
        impl->done.set();
    });
}

Thread::~Thread() {
    // Never leave a thread running over freed memory: wait for it however long it takes.
    std::lock_guard<std::mutex> lock(impl_->joinMutex);
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
}

bool Thread::joinFor(Millis timeout) {
    if (!impl_->done.wait(timeout)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(impl_->joinMutex);
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
    return true;
}

bool Thread::finished() const {
    return impl_->done.isSet();
}

void sleepFor(Millis duration) {
    std::this_thread::sleep_for(duration);
}

}  // namespace platform
