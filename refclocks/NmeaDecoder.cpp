#include "refclocks/NmeaDecoder.h"

#include <cmath>

#include "core/Format.h"
#include "core/TimeValue.h"

namespace refclocks {

namespace {

constexpr double kHalfDay = 43200.0;
constexpr double kDay = 86400.0;

}  // namespace

NmeaDecoder::NmeaDecoder(core::TimeHandler& time, int adjustMs, std::function<bool()> timeMark)
    : time_(time), adjustMs_(adjustMs), timeMark_(std::move(timeMark)) {}

std::optional<wire::DecodedTime> NmeaDecoder::take(unsigned char byte, const wire::ByteTime&) {
    if (hunting_) {
        if (byte == '\n') {
            hunting_ = false;
            sentence_.clear();
        }
        return std::nullopt;
    }
    if (byte != '\r') {
        sentence_ += static_cast<char>(byte);
    }
    if (byte != '\r' && byte != '*' && sentence_.size() < kSentenceBytes) {
        return std::nullopt;
    }
    // The checksum and the line end are skipped by the next hunt.
    hunting_ = true;
    if (timeMark_ && !timeMark_()) {
        return std::nullopt;
    }
    return use(sentence_);
}

std::optional<wire::DecodedTime> NmeaDecoder::use(std::string_view sentence) {
    switch (wire::parseNmeaSentence(sentence, reading_)) {
        case wire::NmeaKind::Rmc:
            return onRmc();
        case wire::NmeaKind::Zda:
            return onZda();
        case wire::NmeaKind::Gga:
            return onGga();
        case wire::NmeaKind::None:
            break;
    }
    return std::nullopt;
}

double NmeaDecoder::referenceTime() const {
    const wire::NmeaReading& r = reading_;
    const double seconds =
        static_cast<double>(core::daysSinceUnixEpoch(r.year, r.month, r.day)) * kDay +
        r.hour * 3600.0 + r.minute * 60.0 + r.second;
    return seconds + core::kNtpUnixOffset + r.milliseconds / 1000.0 + adjustMs_ / 1000.0;
}

std::optional<wire::DecodedTime> NmeaDecoder::onRmc() {
    rmcSeen_ = true;
    const wire::NmeaReading& r = reading_;
    const bool valid = r.status == 'A';
    const std::string position = wire::nmeaPositionLine(r);
    if (valid) {
        time_.setSharedText(position);
    }
    if (zdaSeen_) {
        return std::nullopt;
    }
    wire::DecodedTime t;
    t.text = core::format("Receiving $GPRMC data %d/%d/%d %02d:%02d:%02d UTC\n%s", r.year, r.month,
                          r.day, r.hour, r.minute, r.second,
                          valid ? position.c_str() : "Unsynchronised");
    t.reference = referenceTime() + (timeMark_ ? 1.0 : 0.0);
    t.second = r.second;
    t.usable = valid;
    return t;
}

std::optional<wire::DecodedTime> NmeaDecoder::onZda() {
    zdaSeen_ = true;
    const wire::NmeaReading& r = reading_;
    wire::DecodedTime t;
    t.text = core::format("Receiving $GPZDA data %d/%d/%d %02d:%02d:%02d UTC\n%s", r.year, r.month,
                          r.day, r.hour, r.minute, r.second, time_.sharedText().c_str());
    t.reference = referenceTime();
    t.second = r.second;
    return t;
}

std::optional<wire::DecodedTime> NmeaDecoder::onGga() {
    const wire::NmeaReading& r = reading_;
    if (r.fixQuality == '0') {
        return std::nullopt;
    }
    if (!rmcSeen_) {
        time_.setSharedText(wire::nmeaPositionLine(r));
    }
    if (zdaSeen_ || rmcSeen_) {
        return std::nullopt;
    }
    wire::DecodedTime t;
    t.text = core::format("Receiving $GPGGA data %02d:%02d:%02d UTC\n%s", r.hour, r.minute,
                          r.second, time_.sharedText().c_str());
    t.second = r.second;
    // No date: the offset comes from the time of day alone, folded into half a day either
    // way, with the sign of the other sentences (reference minus local).
    const double sentence = r.hour * 3600.0 + r.minute * 60.0 + r.second;
    const double extra = r.milliseconds / 1000.0 + adjustMs_ / 1000.0;
    t.offset = [sentence, extra](double local) {
        const double d = sentence - std::fmod(local - core::kNtpUnixOffset, kDay);
        const double folded = d > 0 ? std::fmod(d + kHalfDay, kDay) - kHalfDay
                                    : std::fmod(d - kHalfDay, kDay) + kHalfDay;
        return folded + extra;
    };
    return t;
}

}  // namespace refclocks
