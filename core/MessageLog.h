#pragma once
#include <memory>
#include <mutex>
#include <string>

#include "core/Handlers.h"
#include "platform/Clock.h"
#include "platform/EventLog.h"

namespace core {

// The logging switches and sinks, read once from the parameters key.
struct LogSettings {
    bool logInfo = true;              // LogMsgs
    bool logError = true;             // LogError
    bool logWarn = true;              // LogWarn
    bool logDebug = false;            // LogDebug
    std::string logFile = "log.txt";  // Logfile
    bool toFile = false;              // Logtofile
    bool toSyslog = false;            // LogtoSyslog
    std::string syslogServer;         // SyslogServer
    bool toEventLog = true;           // LogtoEvtlog
};

// The event identifier of every log line in the event log: the message file's "%1" entry,
// which shows the insertion string (the line) as it is. Distinct from the service's own
// start (3) and stop (7) events.
inline constexpr unsigned kLogLineEventId = 1;

// Severity numbers of the levels (syslog and event log): 3, 4, 6, 7; 6 for levels that are
// not logged.
int severityOf(MessageLevel level);
// The event type of a severity: 3 error, 4 warning, anything else information.
platform::EventType eventTypeOf(int severity);
// "Error: ", "Warn : ", "Info : ", "Debug: "; nullptr for levels that are not logged.
const char* prefixOf(MessageLevel level);

// The syslog datagram for a message line at `when` (UTC): "<pri>Mon dd hh:mm:ss host Kronel: line"
// with at most 256 characters of the line.
std::string syslogDatagram(int severity, const platform::UnixTime& when, const std::string& host,
                           const std::string& line);

// Formats each message once into a line and sends it to the log file, syslog and the event
// log. Safe to call from any thread; no sink reports its own failure, and the caller's last
// system and socket errors are the same after a call as before it. A syslog collector named
// by host name is looked up in the background, never while a line waits: lines go to the
// last good address, and a line logged while none is known is dropped.
class MessageLog {
public:
    MessageLog(LogSettings settings, const platform::Clock& clock);
    ~MessageLog();

    // The line that was logged ("" when the level's switch is off).
    std::string write(MessageLevel level, const std::string& source, const std::string& text);

    void writeLogFileLine(const std::string& line);
    void sendSyslog(int severity, const std::string& line);
    void writeEventLog(int severity, const std::string& line);

    const LogSettings& settings() const { return settings_; }

private:
    class CollectorAddress;

    LogSettings settings_;
    const platform::Clock& clock_;
    std::unique_ptr<CollectorAddress> collector_;
    std::mutex fileMutex_;
    std::mutex eventLogMutex_;
    std::unique_ptr<platform::EventLog> eventLog_;
};

}  // namespace core
