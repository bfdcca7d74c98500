#pragma once
#include <chrono>
#include <initializer_list>
#include <memory>

namespace platform {

using Millis = std::chrono::milliseconds;
inline constexpr Millis kInfinite = Millis::max();

// The monotonic time `timeout` from now. A timeout beyond what the clock can count to (and
// kInfinite) gives the clock's end; one of zero or less gives now.
inline std::chrono::steady_clock::time_point deadlineAfter(Millis timeout) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    if (timeout.count() <= 0) {
        return now;
    }
    // Compared in milliseconds: converting a long timeout to the clock's unit would overflow.
    const auto room = std::chrono::duration_cast<Millis>(Clock::time_point::max() - now);
    return timeout.count() >= room.count() ? Clock::time_point::max() : now + timeout;
}

// What the system waits on for an event: a descriptor on POSIX, a HANDLE on Windows.
#ifdef _WIN32
using WaitHandle = void*;
#else
using WaitHandle = int;
#endif

// A Windows-style event: manual reset stays signalled until reset, auto reset releases one
// waiter and clears itself. Waits run on monotonic time.
class Event {
public:
    explicit Event(bool manualReset, bool initiallySet = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    bool isSet() const;
    // true when signalled within the time-out (an auto-reset event is consumed).
    bool wait(Millis timeout = kInfinite);
    // Index of the first signalled event, or -1 on time-out.
    static int waitAny(std::initializer_list<Event*> events, Millis timeout = kInfinite);

    // What a system wait can watch beside a socket: a descriptor readable while the event is
    // set (POSIX), the event's HANDLE (Windows).
    WaitHandle waitHandle() const;
    // Consumes the signal after a poll-style wait saw it (auto reset); false if another
    // waiter took it first.
    bool consume();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
