#include "platform/EventLog.h"

#include <syslog.h>

#include <mutex>
#include <string>

namespace platform {

namespace {

// openlog is process-wide and keeps the ident pointer, so the first source opened becomes
// the ident for good (its text lives as long as the process) and the connection is shared
// by every open EventLog, closed when the last one goes.
std::mutex g_syslogMutex;
int g_openCount = 0;
std::string& syslogIdent() {
    static std::string ident;
    return ident;
}

int priorityOf(EventType type) {
    switch (type) {
        case EventType::Error:
            return LOG_ERR;
        case EventType::Warning:
            return LOG_WARNING;
        case EventType::Information:
            break;
    }
    return LOG_INFO;
}

}  // namespace

struct EventLog::Impl {
    std::string source;
    bool prefixSource = false;  // a second source name shows in front of its texts
};

EventLog::EventLog(const std::string& source) : impl_(std::make_unique<Impl>()) {
    impl_->source = source;
    std::lock_guard lock(g_syslogMutex);
    std::string& ident = syslogIdent();
    if (ident.empty()) {
        ident = source.empty() ? std::string("Kronel") : source;
    }
    impl_->prefixSource = !source.empty() && source != ident;
    if (g_openCount++ == 0) {
        openlog(ident.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
    }
}

EventLog::~EventLog() {
    std::lock_guard lock(g_syslogMutex);
    if (--g_openCount == 0) {
        closelog();
    }
}

bool EventLog::isOpen() const {
    return impl_ != nullptr;
}

bool EventLog::report(EventType type, unsigned eventId, const char* text) {
    if (!isOpen() || !admit(eventId)) {
        return false;
    }
    const int priority = LOG_DAEMON | priorityOf(type);
    // syslog has no message table: a record without insertion string names its event.
    if (impl_->prefixSource) {
        if (text != nullptr) {
            syslog(priority, "%s: %s", impl_->source.c_str(), text);
        } else {
            syslog(priority, "%s: event %u", impl_->source.c_str(), eventId);
        }
    } else if (text != nullptr) {
        syslog(priority, "%s", text);
    } else {
        syslog(priority, "event %u", eventId);
    }
    return true;
}

}  // namespace platform
