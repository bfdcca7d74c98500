#pragma once
#include <functional>
#include <memory>

#include "platform/Event.h"

namespace platform {

// A joinable thread that is never killed: joinFor gives up waiting after a time-out but the
// thread keeps its resources until it returns; the destructor joins.
class Thread {
public:
    explicit Thread(std::function<void()> body);
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // true when the thread has ended (and is joined) within the time-out.
    bool joinFor(Millis timeout);
    bool finished() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

void sleepFor(Millis duration);

}  // namespace platform
