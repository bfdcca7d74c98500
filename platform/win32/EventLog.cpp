#include "platform/EventLog.h"

#include "win32/Win32.h"

namespace platform {

struct EventLog::Impl {
    HANDLE source = nullptr;
};

EventLog::EventLog(const std::string& source) : impl_(std::make_unique<Impl>()) {
    impl_->source = ::RegisterEventSourceA(nullptr, source.c_str());
}

EventLog::~EventLog() {
    if (impl_->source != nullptr) {
        ::DeregisterEventSource(impl_->source);
    }
}

bool EventLog::isOpen() const {
    return impl_->source != nullptr;
}

bool EventLog::report(EventType type, unsigned eventId, const char* text) {
    if (!isOpen() || !admit(eventId)) {
        return false;
    }
    WORD kind = EVENTLOG_INFORMATION_TYPE;
    switch (type) {
        case EventType::Error:
            kind = EVENTLOG_ERROR_TYPE;
            break;
        case EventType::Warning:
            kind = EVENTLOG_WARNING_TYPE;
            break;
        case EventType::Information:
            break;
    }
    // Category 0, no user SID, one insertion string when there is a text.
    const char* strings[1] = {text};
    return ::ReportEventA(impl_->source, kind, 0, eventId, nullptr, text != nullptr ? 1 : 0, 0,
                          text != nullptr ? strings : nullptr, nullptr) != FALSE;
}

}  // namespace platform
