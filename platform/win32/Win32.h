#pragma once
// What the Win32 backend's files share: the system headers in the order Winsock needs, owners
// for handles, and the few helpers more than one file uses.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdint>

#include "platform/Event.h"

namespace platform::win32 {

// Owns a kernel handle (event, file, token, ...); closes it once.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return handle_; }
    // CreateFile fails with INVALID_HANDLE_VALUE, most other calls with null.
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE h = handle_;
        handle_ = nullptr;
        return h;
    }
    void reset(HANDLE handle = nullptr) {
        if (valid()) {
            ::CloseHandle(handle_);
        }
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// Whether an event is signalled, without consuming an auto-reset one (a zero wait would).
bool eventSignalled(HANDLE event);
// Whether an event resets itself when a wait is satisfied.
bool eventIsAutoReset(HANDLE event);

// A deadline on monotonic time for the system's waits, which take at most 0xFFFFFFFE ms:
// longer waits are made of several, and a step of the wall clock changes none of them.
class WaitDeadline {
public:
    explicit WaitDeadline(Millis timeout)
        : infinite_(timeout == kInfinite), end_(deadlineAfter(timeout)) {}

    DWORD remainingMs() const {
        if (infinite_) {
            return INFINITE;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return 0;
        }
        constexpr long long kLongest = 0xFFFFFFFELL;
        return static_cast<DWORD>(left.count() > kLongest ? kLongest : left.count());
    }
    bool expired() const { return !infinite_ && std::chrono::steady_clock::now() >= end_; }

private:
    bool infinite_;
    std::chrono::steady_clock::time_point end_;
};

// Starts Winsock 2.2 once per process, before the first socket or lookup; false (with the
// last socket error set) when the system refused.
bool ensureWinsock();

}  // namespace platform::win32
