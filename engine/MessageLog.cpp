#include "engine/MessageLog.h"

#include <array>
#include <cstdint>
#include <utility>

#include "engine/CReg.h"
#include "engine/Format.h"
#include "engine/TimeValue.h"
#include "platform/File.h"
#include "platform/Result.h"
#include "platform/Socket.h"

namespace engine {

namespace {

constexpr int kSyslogFacility = 12;  // priority = facility * 8 + severity
constexpr uint16_t kSyslogPort = 514;
constexpr size_t kSyslogLineChars = 256;
constexpr size_t kHostNameChars = 128;
constexpr const char* kSyslogTag = "Kronel";
constexpr const char* kEventSource = "Kronel";

constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Logging sits under every error report: a sink's own failure must not replace the error
// number the caller is about to render or inspect.
class KeepLastErrors {
public:
    KeepLastErrors() : system_(platform::lastSystemError()), socket_(platform::lastSocketError()) {}
    ~KeepLastErrors() {
        platform::setLastSystemError(system_);
        platform::setLastSocketError(socket_);
    }
    KeepLastErrors(const KeepLastErrors&) = delete;
    KeepLastErrors& operator=(const KeepLastErrors&) = delete;

private:
    int system_;
    int socket_;
};

bool readSwitch(const CReg& parameters, const char* name, bool defaultValue) {
    return parameters.readInt(name, defaultValue ? 1 : 0) != 0;
}

bool levelEnabled(const LogSettings& settings, MessageLevel level) {
    switch (level) {
        case MessageLevel::Error:
            return settings.logError;
        case MessageLevel::Warn:
            return settings.logWarn;
        case MessageLevel::Info:
            return settings.logInfo;
        case MessageLevel::Debug:
            return settings.logDebug;
        case MessageLevel::Status:
        case MessageLevel::Reserved:
            break;
    }
    return false;
}

}  // namespace

LogSettings LogSettings::read(const CReg& parameters) {
    LogSettings settings;
    settings.logInfo = readSwitch(parameters, "LogMsgs", settings.logInfo);
    settings.logError = readSwitch(parameters, "LogError", settings.logError);
    settings.logWarn = readSwitch(parameters, "LogWarn", settings.logWarn);
    settings.logDebug = readSwitch(parameters, "LogDebug", settings.logDebug);
    settings.logFile = parameters.readText("Logfile", settings.logFile);
    settings.toFile = readSwitch(parameters, "Logtofile", settings.toFile);
    settings.toSyslog = readSwitch(parameters, "LogtoSyslog", settings.toSyslog);
    settings.syslogServer = parameters.readText("SyslogServer", settings.syslogServer);
    settings.toEventLog = readSwitch(parameters, "LogtoEvtlog", settings.toEventLog);
    return settings;
}

int severityOf(MessageLevel level) {
    switch (level) {
        case MessageLevel::Error:
            return 3;
        case MessageLevel::Warn:
            return 4;
        case MessageLevel::Debug:
            return 7;
        case MessageLevel::Info:
        case MessageLevel::Status:
        case MessageLevel::Reserved:
            break;
    }
    return 6;
}

platform::EventType eventTypeOf(int severity) {
    switch (severity) {
        case 3:
            return platform::EventType::Error;
        case 4:
            return platform::EventType::Warning;
        default:
            return platform::EventType::Information;
    }
}

const char* prefixOf(MessageLevel level) {
    switch (level) {
        case MessageLevel::Error:
            return "Error: ";
        case MessageLevel::Warn:
            return "Warn : ";
        case MessageLevel::Info:
            return "Info : ";
        case MessageLevel::Debug:
            return "Debug: ";
        case MessageLevel::Status:
        case MessageLevel::Reserved:
            break;
    }
    return nullptr;
}

std::string syslogDatagram(int severity, const platform::UnixTime& when, const std::string& host,
                           const std::string& line) {
    const CalendarTime t = calendarFromUnix(when);
    const char* month = t.month >= 1 && t.month <= 12 ? kMonths[t.month - 1] : "Jan";
    std::string datagram =
        format("<%d>%s %2d %02d:%02d:%02d %s %s: ", kSyslogFacility * 8 + severity, month, t.day,
               t.hour, t.minute, t.second, host.substr(0, kHostNameChars).c_str(), kSyslogTag);
    datagram.append(line, 0, kSyslogLineChars);
    return datagram;
}

MessageLog::MessageLog(LogSettings settings, const platform::Clock& clock)
    : settings_(std::move(settings)), clock_(clock) {
    if (settings_.toEventLog) {
        eventLog_ = std::make_unique<platform::EventLog>(kEventSource);
    }
}

MessageLog::~MessageLog() = default;

std::string MessageLog::write(MessageLevel level, const std::string& source,
                              const std::string& text) {
    const char* prefix = prefixOf(level);
    if (prefix == nullptr || !levelEnabled(settings_, level)) {
        return {};
    }
    std::string line = prefix;
    line += source;
    line += ' ';
    line += text;

    KeepLastErrors keep;
    const int severity = severityOf(level);
    writeLogFileLine(line);
    sendSyslog(severity, line);
    writeEventLog(severity, line);
    return line;
}

void MessageLog::writeLogFileLine(const std::string& line) {
    if (!settings_.toFile) {
        return;
    }
    KeepLastErrors keep;
    // The lock keeps lines whole and in time order; the time is taken under it so that the
    // stamps in the file never run backwards between threads.
    std::lock_guard lock(fileMutex_);
    const std::string stamp = displayTimeText(calendarFromUnix(clock_.now()));
    // A file that cannot be written loses this line only.
    (void)platform::appendToFile(settings_.logFile, stamp + " " + line + "\r\n");
}

void MessageLog::sendSyslog(int severity, const std::string& line) {
    if (!settings_.toSyslog || settings_.syslogServer.empty()) {
        return;
    }
    KeepLastErrors keep;
    platform::Socket socket;
    if (!socket.open(platform::Socket::Type::Udp).ok() || !socket.setReuseAddress(true).ok()) {
        return;
    }
    platform::Endpoint collector;
    collector.port = platform::servicePort("syslog", "udp", kSyslogPort);
    if (!platform::resolveIPv4(settings_.syslogServer, collector.address).ok()) {
        return;
    }
    // The time fields are UTC: collectors receive stamps from machines in every zone, and the
    // log file shows UTC too.
    const std::string datagram =
        syslogDatagram(severity, clock_.now(), platform::localHostName(), line);
    (void)socket.sendTo(datagram.data(), datagram.size(), collector);
}

void MessageLog::writeEventLog(int severity, const std::string& line) {
    if (!settings_.toEventLog) {
        return;
    }
    KeepLastErrors keep;
    std::lock_guard lock(eventLogMutex_);
    // A source that could not be registered is tried again on the next line.
    if (eventLog_ == nullptr || !eventLog_->isOpen()) {
        eventLog_ = std::make_unique<platform::EventLog>(kEventSource);
    }
    (void)eventLog_->report(eventTypeOf(severity), kLogLineEventId, line.c_str());
}

}  // namespace engine
