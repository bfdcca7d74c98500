#include "platform/Event.h"

#include <stdexcept>
#include <vector>

#include "platform/Result.h"
#include "win32/Win32.h"

namespace platform {

namespace win32 {

namespace {

// NtQueryEvent reads an event's state without a wait, so an auto-reset event can be looked
// at without being consumed. It is in every ntdll since NT 3.1, but not in the SDK.
struct EventBasicInformation {
    LONG type;  // 0: manual reset (notification), 1: auto reset (synchronization)
    LONG state;
};
using NtQueryEventFn = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);

NtQueryEventFn ntQueryEvent() {
    static const NtQueryEventFn fn = [] {
        HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
        FARPROC proc = ntdll ? ::GetProcAddress(ntdll, "NtQueryEvent") : nullptr;
        // Through void(*)(): the one function type that converts to any other cleanly.
        return reinterpret_cast<NtQueryEventFn>(reinterpret_cast<void (*)()>(proc));
    }();
    return fn;
}

bool queryEvent(HANDLE event, EventBasicInformation& info) {
    const NtQueryEventFn query = ntQueryEvent();
    return query != nullptr && query(event, 0, &info, sizeof info, nullptr) >= 0;
}

}  // namespace

bool eventSignalled(HANDLE event) {
    EventBasicInformation info{};
    if (queryEvent(event, info)) {
        return info.state != 0;
    }
    return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

bool eventIsAutoReset(HANDLE event) {
    EventBasicInformation info{};
    return queryEvent(event, info) && info.type == 1;
}

}  // namespace win32

struct Event::Impl {
    win32::UniqueHandle handle;
    bool manualReset = true;
};

Event::Event(bool manualReset, bool initiallySet) : impl_(std::make_unique<Impl>()) {
    impl_->manualReset = manualReset;
    impl_->handle.reset(::CreateEventA(nullptr, manualReset, initiallySet, nullptr));
    if (!impl_->handle.valid()) {
        throw std::runtime_error("CreateEvent failed");
    }
}

Event::~Event() = default;

void Event::set() {
    ::SetEvent(impl_->handle.get());
}

void Event::reset() {
    ::ResetEvent(impl_->handle.get());
}

bool Event::isSet() const {
    if (impl_->manualReset) {
        return ::WaitForSingleObject(impl_->handle.get(), 0) == WAIT_OBJECT_0;
    }
    return win32::eventSignalled(impl_->handle.get());
}

WaitHandle Event::waitHandle() const {
    return impl_->handle.get();
}

bool Event::consume() {
    if (impl_->manualReset) {
        return isSet();
    }
    return ::WaitForSingleObject(impl_->handle.get(), 0) == WAIT_OBJECT_0;
}

bool Event::wait(Millis timeout) {
    return waitAny({this}, timeout) == 0;
}

int Event::waitAny(std::initializer_list<Event*> events, Millis timeout) {
    // The system refuses a list that names one handle twice: wait on each once and answer with
    // the first place it holds in the caller's list.
    std::vector<HANDLE> handles;
    std::vector<int> firstIndex;
    int index = 0;
    for (Event* e : events) {
        HANDLE h = e->impl_->handle.get();
        bool known = false;
        for (HANDLE seen : handles) {
            known = known || seen == h;
        }
        if (!known) {
            handles.push_back(h);
            firstIndex.push_back(index);
        }
        ++index;
    }
    if (handles.size() > MAXIMUM_WAIT_OBJECTS) {
        setLastSystemError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    win32::WaitDeadline deadline(timeout);
    for (;;) {
        DWORD rc;
        if (handles.empty()) {
            ::Sleep(deadline.remainingMs());
            rc = WAIT_TIMEOUT;
        } else {
            rc = ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                          deadline.remainingMs());
        }
        if (rc < WAIT_OBJECT_0 + handles.size()) {
            return firstIndex[rc - WAIT_OBJECT_0];
        }
        if (rc == WAIT_FAILED) {
            setLastSystemError(static_cast<int>(::GetLastError()));
            return -1;
        }
        if (deadline.expired()) {
            return -1;
        }
    }
}

}  // namespace platform
