#include "refclocks/CNMEA.h"

#include <cmath>

#include "core/TimeValue.h"
#include "platform/Seams.h"

namespace refclocks {

namespace {

constexpr double kHalfDay = 43200.0;
constexpr double kDay = 86400.0;

}  // namespace

CNMEA::CNMEA(core::MessageHandler& messages, core::TimeHandler& time, int pollMinutes,
             int portNumber, int speedIndex, std::string wakeup, int delayMs)
    : CNMEA(messages, time, pollMinutes, portNumber, speedIndex, std::move(wakeup), delayMs,
            kSourceName) {}

CNMEA::CNMEA(core::MessageHandler& messages, core::TimeHandler& time, int pollMinutes,
             int portNumber, int speedIndex, std::string wakeup, int delayMs,
             std::string sourceName)
    : CGPSClient(messages, time, pollMinutes, portNumber, speedIndex, std::move(sourceName)),
      wakeup_(std::move(wakeup)),
      delayMs_(delayMs) {}

CNMEA::~CNMEA() {
    stop();
}

std::string CNMEA::expandWakeup(const std::string& text) {
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

void CNMEA::run() {
    platform::SerialTimeouts timeouts;
    timeouts.readTotalConstant = 5000;
    timeouts.writeTotalConstant = 1000;
    (void)port_->setTimeouts(timeouts);
    (void)port_->purge();
    signalStarted();
    messages_.debug(name(), "started");
    messages_.info(name(), "Listening for GPS messages");
    if (!wakeup_.empty()) {
        sendWakeup();
    }

    bool hunting = true;
    std::string sentence;
    while (!stopping()) {
        unsigned char byte = 0;
        const platform::SerialIo io = port_->read(&byte, 1, &stopEvent_);
        if (io.stopped) {
            markStopped();
            break;
        }
        if (io.count == 0) {
            // A failed read (a receiver unplugged) must not spin.
            if (io.error != 0 && !pause(platform::Millis(100))) {
                break;
            }
            continue;
        }
        messages_.debug(name(), "<%02x>", byte);
        if (hunting) {
            if (byte == '\n') {
                hunting = false;
                sentence.clear();
            }
            continue;
        }
        if (byte != '\r') {
            sentence += static_cast<char>(byte);
        }
        if (byte == '\r' || byte == '*' || sentence.size() >= kSentenceBytes) {
            // The checksum and the line end are skipped by the next hunt.
            hunting = true;
            if (awaitTimeMark()) {
                useSentence(sentence);
            }
        }
    }
}

void CNMEA::sendWakeup() {
    const std::string bytes = expandWakeup(wakeup_);
    if (!pause(platform::scheduleWait(kWakeupDelayMs))) {
        return;
    }
    (void)port_->write(bytes.data(), bytes.size(), &stopEvent_);
}

void CNMEA::useSentence(std::string_view sentence) {
    switch (wire::parseNmeaSentence(sentence, reading_)) {
        case wire::NmeaKind::Rmc:
            onRmc();
            break;
        case wire::NmeaKind::Zda:
            onZda();
            break;
        case wire::NmeaKind::Gga:
            onGga();
            break;
        case wire::NmeaKind::None:
            break;
    }
}

double CNMEA::referenceTime() const {
    const wire::NmeaReading& r = reading_;
    const double seconds =
        static_cast<double>(core::daysSinceUnixEpoch(r.year, r.month, r.day)) * kDay +
        r.hour * 3600.0 + r.minute * 60.0 + r.second;
    return seconds + core::kNtpUnixOffset + r.milliseconds / 1000.0 + delayMs_ / 1000.0;
}

template <typename Offset>
void CNMEA::minuteRule(bool mayReport, Offset offsetFor) {
    if (!armed_) {
        armed_ = reading_.second > 30;
        return;
    }
    if (reading_.second > 30) {
        return;
    }
    if (countdown_ <= 1 && mayReport) {
        const double local = time_.now();
        time_.setTime(offsetFor(local));
        countdown_ = pollMinutes();
        time_.setReferenceId(core::referenceIdFromText("GPS"));
    } else {
        --countdown_;
    }
    armed_ = false;
}

void CNMEA::onRmc() {
    rmcSeen_ = true;
    const wire::NmeaReading& r = reading_;
    const bool valid = r.status == 'A';
    const std::string position = wire::nmeaPositionLine(r);
    if (valid) {
        time_.setSharedText(position);
    }
    if (zdaSeen_) {
        return;
    }
    messages_.status(name(), "Receiving $GPRMC data %d/%d/%d %02d:%02d:%02d UTC\n%s", r.year,
                     r.month, r.day, r.hour, r.minute, r.second,
                     valid ? position.c_str() : "Unsynchronised");
    const double reference = referenceTime() + rmcMarkSeconds();
    minuteRule(valid, [reference](double local) { return reference - local; });
}

void CNMEA::onZda() {
    zdaSeen_ = true;
    const wire::NmeaReading& r = reading_;
    messages_.status(name(), "Receiving $GPZDA data %d/%d/%d %02d:%02d:%02d UTC\n%s", r.year,
                     r.month, r.day, r.hour, r.minute, r.second, time_.sharedText().c_str());
    const double reference = referenceTime();
    minuteRule(true, [reference](double local) { return reference - local; });
}

void CNMEA::onGga() {
    const wire::NmeaReading& r = reading_;
    if (r.fixQuality == '0') {
        return;
    }
    if (!rmcSeen_) {
        time_.setSharedText(wire::nmeaPositionLine(r));
    }
    if (zdaSeen_ || rmcSeen_) {
        return;
    }
    messages_.status(name(), "Receiving $GPGGA data %02d:%02d:%02d UTC\n%s", r.hour, r.minute,
                     r.second, time_.sharedText().c_str());
    // No date: the offset comes from the time of day alone, folded into half a day either
    // way, with the sign of the other sentences (reference minus local).
    const double sentence = r.hour * 3600.0 + r.minute * 60.0 + r.second;
    const double extra = r.milliseconds / 1000.0 + delayMs_ / 1000.0;
    minuteRule(true, [sentence, extra](double local) {
        const double d = sentence - std::fmod(local - core::kNtpUnixOffset, kDay);
        const double folded = d > 0 ? std::fmod(d + kHalfDay, kDay) - kHalfDay
                                    : std::fmod(d - kHalfDay, kDay) + kHalfDay;
        return folded + extra;
    });
}

}  // namespace refclocks
