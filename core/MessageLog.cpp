#include "core/MessageLog.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

#include "core/Format.h"
#include "core/TimeValue.h"
#include "platform/File.h"
#include "platform/Result.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

namespace core {

namespace {

constexpr int kSyslogFacility = 12;  // priority = facility * 8 + severity
constexpr uint16_t kSyslogPort = 514;
constexpr size_t kSyslogLineChars = 256;
constexpr size_t kHostNameChars = 128;
constexpr const char* kSyslogTag = "Kronel";
constexpr const char* kEventSource = "Kronel";
// A good address is looked up again after an hour, so a collector that moves is followed; a
// failed lookup is tried again after a minute rather than on every line.
constexpr std::chrono::hours kRefreshAfter{1};
constexpr std::chrono::minutes kRetryAfter{1};

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

// The syslog collector's address, kept current by lookups on a thread of their own: at start,
// when the address is due to be refreshed and when a send to it failed.
class MessageLog::CollectorAddress {
public:
    using Clock = std::chrono::steady_clock;

    explicit CollectorAddress(std::string server) : server_(std::move(server)) {
        if (const auto dotted = platform::parseDottedIPv4(server_)) {
            address_ = *dotted;
            fixed_ = true;
        } else {
            std::lock_guard lock(mutex_);
            startLookup();
        }
    }
    // The lookup thread returns at once on the stop event; the name server's answer, if it
    // ever comes, goes nowhere.
    ~CollectorAddress() {
        stop_.set();
        std::unique_ptr<platform::Thread> lookup;
        {
            std::lock_guard lock(mutex_);
            lookup = std::move(lookup_);
        }
        lookup.reset();  // outside the lock, which the lookup takes to file its result
    }
    CollectorAddress(const CollectorAddress&) = delete;
    CollectorAddress& operator=(const CollectorAddress&) = delete;

    // The last good address, if any; starts a lookup when one is due. Never waits for one.
    std::optional<uint32_t> current() {
        std::lock_guard lock(mutex_);
        if (!fixed_ && !looking_ && platform::processClock().monotonic() >= due_) {
            startLookup();
        }
        return address_;
    }

    void sendFailed() {
        std::lock_guard lock(mutex_);
        due_ = platform::processClock().monotonic();
    }

private:
    // Under mutex_, with no lookup running.
    void startLookup() {
        lookup_.reset();  // a finished one, past its last use of the lock: joins at once
        looking_ = true;
        try {
            lookup_ = std::make_unique<platform::Thread>([this] { lookUp(); });
        } catch (const std::exception&) {
            // No thread to spare: try again on a later line.
            looking_ = false;
            due_ = platform::processClock().monotonic() + kRetryAfter;
        }
    }

    void lookUp() {
        uint32_t found = 0;
        const bool ok = platform::resolveIPv4(server_, found, &stop_).ok();
        std::lock_guard lock(mutex_);
        if (ok) {
            address_ = found;
        }
        due_ = platform::processClock().monotonic() +
               (ok ? Clock::duration(kRefreshAfter) : Clock::duration(kRetryAfter));
        looking_ = false;
    }

    const std::string server_;
    bool fixed_ = false;  // a dotted address needs no lookup
    platform::Event stop_{true};
    std::mutex mutex_;
    std::optional<uint32_t> address_;
    Clock::time_point due_;
    bool looking_ = false;
    std::unique_ptr<platform::Thread> lookup_;
};

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
    if (settings_.toSyslog && !settings_.syslogServer.empty()) {
        collector_ = std::make_unique<CollectorAddress>(settings_.syslogServer);
    }
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
    if (collector_ == nullptr) {
        return;
    }
    KeepLastErrors keep;
    const std::optional<uint32_t> address = collector_->current();
    if (!address) {
        return;
    }
    platform::Socket socket;
    if (!socket.open(platform::Socket::Type::Udp).ok() || !socket.setReuseAddress(true).ok()) {
        return;
    }
    const platform::Endpoint collector{*address,
                                       platform::servicePort("syslog", "udp", kSyslogPort)};
    // The time fields are UTC: collectors receive stamps from machines in every zone, and the
    // log file shows UTC too.
    const std::string datagram =
        syslogDatagram(severity, clock_.now(), platform::localHostName(), line);
    if (!socket.sendTo(datagram.data(), datagram.size(), collector).ok()) {
        collector_->sendFailed();
    }
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

}  // namespace core
