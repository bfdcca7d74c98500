#include "wire/PulseTimeCodes.h"

#include "core/Format.h"

namespace wire {

namespace {

// A BCD number from bits [from, from + weights.size()) of `bits`, each with its weight; -1
// when a digit is above 9.
int bcd(const std::vector<uint8_t>& bits, size_t from, std::initializer_list<int> weights) {
    int value = 0;
    int digit = 0;
    int digitWeight = 1;
    size_t i = from;
    for (const int w : weights) {
        // A weight of 10, 100, ... starts the next digit.
        if (w == digitWeight * 10) {
            if (digit > 9) {
                return -1;
            }
            digitWeight = w;
            digit = 0;
        }
        if (bits[i++] != 0) {
            value += w;
            digit += w / digitWeight;
        }
    }
    return digit > 9 ? -1 : value;
}

bool evenParity(const std::vector<uint8_t>& bits, size_t from, size_t to) {
    int ones = 0;
    for (size_t i = from; i <= to; ++i) {
        ones += bits[i] != 0;
    }
    return ones % 2 == 0;
}

}  // namespace

int pulseBits(unsigned char byte) {
    int bits = 1;
    for (int i = 0; i < 8 && (byte & (1u << i)) == 0; ++i) {
        ++bits;
    }
    // A low line through the stop bit reads as 0 with a framing error: 10 bit times or more.
    return byte == 0 ? 10 : bits;
}

std::optional<DecodedTime> Dcf77Decoder::take(unsigned char byte, const ByteTime& at) {
    lastLocal_ = at.local;
    if (pending_ && at.monotonic - pendingSince_ <= kMarkPatience) {
        // The pulse of second 0: the minute the last frame named begins now.
        const double reference = *pending_;
        pending_.reset();
        bits_.assign(1, pulseBits(byte) >= 8 ? 1 : 0);
        return DecodedTime{reference, at.local, timecode::timeText(reference)};
    }
    pending_.reset();
    if (!synced_) {
        return std::nullopt;
    }
    // Under 150 ms (7.5 bit times) a 0, above it a 1.
    bits_.push_back(pulseBits(byte) >= 8 ? 1 : 0);
    if (bits_.size() > 59) {
        refuse(core::format("%s minute of more than 59 pulses", clockName_));
        bits_.clear();
        synced_ = false;
    }
    return std::nullopt;
}

void Dcf77Decoder::gap(double monotonic) {
    if (pending_ && monotonic - pendingSince_ > kMarkPatience) {
        pending_.reset();
    }
    if (bits_.size() == 59) {
        pending_ = decodeFrame(bits_, lastLocal_);
        pendingSince_ = monotonic;
    } else if (!bits_.empty()) {
        refuse(core::format("%s minute cut short (%d pulses)", clockName_,
                            static_cast<int>(bits_.size())));
    }
    bits_.clear();
    synced_ = true;
}

std::optional<double> Dcf77Decoder::decodeFrame(const std::vector<uint8_t>& b, double local) {
    if (b.size() != 59 || b[0] != 0 || b[20] != 1) {
        refuse(core::format("%s frame without its start bits", clockName_));
        return std::nullopt;
    }
    if (!evenParity(b, 21, 28) || !evenParity(b, 29, 35) || !evenParity(b, 36, 58)) {
        refuse(core::format("%s parity error", clockName_));
        return std::nullopt;
    }
    const int minute = bcd(b, 21, {1, 2, 4, 8, 10, 20, 40});
    const int hour = bcd(b, 29, {1, 2, 4, 8, 10, 20});
    const int day = bcd(b, 36, {1, 2, 4, 8, 10, 20});
    const int weekday = bcd(b, 42, {1, 2, 4});
    const int month = bcd(b, 45, {1, 2, 4, 8, 10});
    const int year = bcd(b, 50, {1, 2, 4, 8, 10, 20, 40, 80});
    const bool summer = b[17] != 0;
    if (summer == (b[18] != 0) || weekday < 1 || year < 0 ||
        !timecode::validTimeOfDay(hour, minute, 0)) {
        refuse(core::format("%s frame not understood", clockName_));
        return std::nullopt;
    }
    const auto reference = timecode::nearestDate(year, month, day, hour, minute, 0, local);
    if (!reference) {
        refuse(core::format("%s date does not exist", clockName_));
        return std::nullopt;
    }
    // German time: one hour ahead of UTC, two in summer.
    return *reference - (summer ? 7200.0 : 3600.0);
}

IrigBDecoder::Element IrigBDecoder::element(unsigned char byte) {
    const int bits = pulseBits(byte);
    return bits <= 3 ? Zero : bits <= 6 ? One : Marker;
}

std::optional<DecodedTime> IrigBDecoder::take(unsigned char byte, const ByteTime& at) {
    const Element e = element(byte);
    std::optional<DecodedTime> result;
    if (collecting_) {
        const size_t index = elements_.size();
        // Markers stand at 9, 19, ... 99 and nowhere else.
        if ((index % 10 == 9) != (e == Marker)) {
            refuse(core::format("IRIG-B frame broken at element %d", static_cast<int>(index)));
            collecting_ = false;
        } else {
            elements_.push_back(e);
            if (elements_.size() == 100) {
                collecting_ = false;
                if (const auto reference = decodeFrame(elements_, frameLocal_)) {
                    result = DecodedTime{*reference, frameLocal_, timecode::timeText(*reference)};
                }
            }
        }
    } else if (e == Marker && lastWasMarker_) {
        // P0 then Pr: the reference marker begins the frame.
        collecting_ = true;
        elements_.assign(1, Marker);
        frameLocal_ = at.local;
    }
    lastWasMarker_ = e == Marker;
    return result;
}

std::optional<double> IrigBDecoder::decodeFrame(const std::vector<uint8_t>& e, double local) {
    const int second = bcd(e, 1, {1, 2, 4, 8});
    const int tensOfSeconds = bcd(e, 6, {1, 2, 4});
    const int minute = bcd(e, 10, {1, 2, 4, 8});
    const int tensOfMinutes = bcd(e, 15, {1, 2, 4});
    const int hour = bcd(e, 20, {1, 2, 4, 8});
    const int tensOfHours = bcd(e, 25, {1, 2});
    const int day = bcd(e, 30, {1, 2, 4, 8});
    const int tensOfDays = bcd(e, 35, {1, 2, 4, 8});
    const int hundredsOfDays = bcd(e, 40, {1, 2});
    const int year = bcd(e, 50, {1, 2, 4, 8});
    const int tensOfYears = bcd(e, 55, {1, 2, 4, 8});
    if (second < 0 || minute < 0 || hour < 0 || day < 0 || tensOfDays < 0 || year < 0 ||
        tensOfYears < 0 || tensOfSeconds < 0 || tensOfMinutes < 0 || tensOfHours < 0 ||
        hundredsOfDays < 0) {
        refuse("IRIG-B frame not understood");
        return std::nullopt;
    }
    const int s = tensOfSeconds * 10 + second;
    const int m = tensOfMinutes * 10 + minute;
    const int h = tensOfHours * 10 + hour;
    const int dayOfYear = hundredsOfDays * 100 + tensOfDays * 10 + day;
    const int yy = tensOfYears * 10 + year;
    if (!timecode::validTimeOfDay(h, m, s) || dayOfYear < 1) {
        refuse("IRIG-B frame not understood");
        return std::nullopt;
    }
    const auto reference = timecode::nearestDayOfYear(yy == 0 ? -1 : yy, dayOfYear, h, m, s, local);
    if (!reference) {
        refuse(core::format("IRIG-B day %d does not exist", dayOfYear));
        return std::nullopt;
    }
    return reference;
}

}  // namespace wire
