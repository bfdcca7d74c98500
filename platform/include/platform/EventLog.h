#pragma once
#include <memory>
#include <mutex>
#include <string>

namespace platform {

enum class EventType { Error, Warning, Information };

// The system log: the Windows event log, syslog(3) on POSIX.
//
// Opening registers the source and turns on the reporting of repeats, so every report goes
// out. With repeats off, a report with the same event identifier as the one before it is
// dropped. Safe to use from several threads.
class EventLog {
public:
    explicit EventLog(const std::string& source);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    bool isOpen() const;
    // One record; `text` may be null for an event with no insertion string. false when the
    // record did not go out (log closed, a dropped repeat, or the system refused it).
    bool report(EventType type, unsigned eventId, const char* text);

    // Shared by every backend, as admit is.
    void setReportRepeats(bool on) {
        std::lock_guard lock(mutex_);
        reportRepeats_ = on;
    }
    bool reportRepeats() const {
        std::lock_guard lock(mutex_);
        return reportRepeats_;
    }

private:
    // Decides, under the lock, whether a report with this identifier goes out, and remembers
    // it as the last one. Shared by every backend.
    bool admit(unsigned eventId) {
        std::lock_guard lock(mutex_);
        if (!reportRepeats_ && hasLastEventId_ && eventId == lastEventId_) {
            return false;
        }
        lastEventId_ = eventId;
        hasLastEventId_ = true;
        return true;
    }

    struct Impl;
    std::unique_ptr<Impl> impl_;
    mutable std::mutex mutex_;
    unsigned lastEventId_ = 0;
    bool hasLastEventId_ = false;
    bool reportRepeats_ = true;
};

}  // namespace platform
