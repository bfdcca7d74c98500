#include "refclocks/CSerialClient.h"

#include <chrono>
#include <cmath>

#include "platform/Clock.h"
#include "platform/Seams.h"

namespace refclocks {

namespace {

constexpr long long kWakeupDelayMs = 5000;

}  // namespace

std::string expandWakeup(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next;
    }
    return out;
}

CSerialClient::CSerialClient(core::MessageHandler& messages, core::TimeHandler& time,
                             const ReceiverRow& row, SerialLine line,
                             const ReceiverSettings& settings)
    : CTimeClient(messages, time, line.shownName, settings.pollMinutes, row.name),
      row_(row),
      line_(std::move(line)),
      wakeup_(row.sendsWakeup ? settings.nmeaWakeup : std::string()),
      decoder_(row.decoder({time, settings.nmeaAdjustMs, [this] { return awaitModemChange(); }})) {}

CSerialClient::~CSerialClient() {
    stop();
}

void CSerialClient::start() {
    if (!line_.complaint.empty()) {
        messages_.error(name(), "%s", line_.complaint.c_str());
    }
    std::string failure;
    port_ = openAndConfigure(opener_, line_.path, line_.mode, line_.line, line_.timeouts,
                             line_.shownName, failure);
    if (!port_) {
        messages_.error(name(), "%s", failure.c_str());
        time_.sourceFailed();
        return;
    }
    CTimeClient::start();
}

void CSerialClient::stop() {
    // The thread ends first (its reads wake on the stop event), then the port closes.
    CTimeClient::stop();
    port_.reset();
}

void CSerialClient::prepareLine() {
    switch (row_.lineStart) {
        case LineStart::Purge:
            (void)port_->purge();
            break;
        case LineStart::PurgeAndPulseRts:
            (void)port_->purge();
            if (!port_->setRts(true).ok()) {
                messages_.debug(name(), "RTS control failed");
            }
            (void)port_->setRts(false);
            break;
        case LineStart::PulseLine: {
            if (!port_->setRts(false).ok()) {
                messages_.debug(name(), "RTS control failed");
            }
            platform::SerialTimeouts timeouts;
            timeouts.readTotalConstant = 1500;
            timeouts.writeTotalConstant = 1000;
            (void)port_->setTimeouts(timeouts);
            break;
        }
        case LineStart::GpsPort: {
            platform::SerialTimeouts timeouts;
            timeouts.readTotalConstant = 5000;
            timeouts.writeTotalConstant = 1000;
            (void)port_->setTimeouts(timeouts);
            (void)port_->purge();
            break;
        }
    }
}

void CSerialClient::run() {
    prepareLine();
    signalStarted();
    messages_.debug(name(), "started");
    messages_.info(name(), "Listening for %s messages", row_.kind);
    if (!wakeup_.empty()) {
        sendWakeup();
    }
    // Pulse clocks leave a second without a pulse: a silence of 1.5 s marks it.
    const bool stopped = readTimeCodes(*this, *port_, stopEvent_, messages_, time_, *decoder_, 1.5,
                                       [this](const wire::DecodedTime& t) { report(t); });
    if (stopped) {
        markStopped();
    }
}

void CSerialClient::sendWakeup() {
    const std::string bytes = expandWakeup(wakeup_);
    if (!pause(platform::scheduleWait(kWakeupDelayMs))) {
        return;
    }
    (void)port_->write(bytes.data(), bytes.size(), &stopEvent_);
}

void CSerialClient::report(const wire::DecodedTime& t) {
    if (row_.gate == Gate::Consistent || row_.gate == Gate::ConsistentNamingTime) {
        const bool due = schedule_.due();
        if (reportIfConsistent(t.reference, t.local, t.text, row_.referenceId, due,
                               row_.gate == Gate::ConsistentNamingTime)) {
            schedule_.reported(pollMinutes());
        }
        return;
    }
    messages_.status(name(), "%s", t.text.c_str());
    if (row_.gate == Gate::ByMinute) {
        minuteRule(t);
        return;
    }
    if (!schedule_.due()) {
        return;
    }
    publish(t.reference - t.local);
    schedule_.reported(pollMinutes());
}

bool CSerialClient::reportIfConsistent(double reference, double local,
                                       const std::string& statusLine, const char* referenceId,
                                       bool report, bool namesTime) {
    const double drift = std::fabs((reference - lastReference_) - (local - lastLocal_));
    lastReference_ = reference;
    lastLocal_ = local;
    if (drift > 60.0) {
        if (namesTime) {
            messages_.warn(name(), "Received time inconsistant with last value (%s)",
                           statusLine.c_str());
        } else {
            messages_.warn(name(), "Received time inconsistant with last value");
        }
        return false;
    }
    messages_.status(name(), "%s", statusLine.c_str());
    if (!report) {
        return false;
    }
    time_.setTime(reference - local);
    time_.setReferenceId(core::referenceIdFromText(referenceId));
    return true;
}

void CSerialClient::minuteRule(const wire::DecodedTime& t) {
    if (!armed_) {
        armed_ = t.second > 30;
        return;
    }
    if (t.second > 30) {
        return;
    }
    if (countdown_ <= 1 && t.usable) {
        publish(t.offset ? t.offset(t.local) : t.reference - t.local);
        countdown_ = pollMinutes();
    } else {
        --countdown_;
    }
    armed_ = false;
}

void CSerialClient::publish(double correction) {
    time_.setTime(correction);
    time_.setReferenceId(core::referenceIdFromText(row_.referenceId));
}

bool CSerialClient::awaitModemChange() {
    // Measured on monotonic time: the wall clock is what this source corrects.
    const auto a = platform::processClock().monotonic();
    uint32_t reference = 0;
    if (port_
            ->setEventMask(platform::modem::kEventCts | platform::modem::kEventDsr |
                           platform::modem::kEventRlsd)
            .ok() &&
        port_->modemStatus(reference).ok()) {
        if (port_->waitForModemChange(reference, kPulseLimit, &stopEvent_) ==
            platform::ModemWait::Stopped) {
            markStopped();
            return false;
        }
    }
    const auto b = platform::processClock().monotonic();
    if (std::chrono::duration_cast<std::chrono::seconds>(b - a).count() < 2) {
        return true;
    }
    messages_.debug(name(), "Missed DCD change");
    return false;
}

}  // namespace refclocks
