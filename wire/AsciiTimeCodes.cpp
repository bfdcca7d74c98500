#include "wire/AsciiTimeCodes.h"

#include <cstdlib>

#include "core/Format.h"

namespace wire {

using timecode::digits;

namespace {

constexpr unsigned char kSoh = 0x01;
constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEtx = 0x03;

// "HH:MM:SS" (any separator) at `at`; false unless it is a time of day.
bool clockTime(const std::string& line, size_t at, int& hour, int& minute, int& second) {
    hour = digits(line, at, 2);
    minute = digits(line, at + 3, 2);
    second = digits(line, at + 6, 2);
    return timecode::validTimeOfDay(hour, minute, second);
}

DecodedTime decoded(double reference, double local) {
    return {reference, local, timecode::timeText(reference)};
}

}  // namespace

AsciiLineDecoder::AsciiLineDecoder(unsigned char start, unsigned char end, OnTime onTime,
                                   size_t maxLength, const char* formatName)
    : formatName_(formatName), start_(start), end_(end), onTime_(onTime), maxLength_(maxLength) {}

std::optional<DecodedTime> AsciiLineDecoder::take(unsigned char byte, const ByteTime& at) {
    std::optional<DecodedTime> result;
    if (collecting_ && byte == end_) {
        collecting_ = false;
        if (!line_.empty()) {
            result = decode(line_, onTime_ == OnTime::EndByte ? at.local : lineLocal_);
        }
    } else if (byte == start_) {
        if (collecting_ && !line_.empty()) {
            refuse(core::format("%s message cut short", formatName_));
        }
        // A line whose on-time carriage return was not received has no time to go with it.
        collecting_ = onTime_ != OnTime::CarriageReturnBefore || afterCarriageReturn_;
        line_.clear();
        lineLocal_ = onTime_ == OnTime::CarriageReturnBefore ? lastCarriageReturn_ : at.local;
    } else if (collecting_) {
        if (line_.empty() && onTime_ == OnTime::FirstByte) {
            lineLocal_ = at.local;
        }
        line_ += static_cast<char>(byte);
        if (line_.size() > maxLength_) {
            refuse(core::format("%s message too long", formatName_));
            collecting_ = false;
        }
    }
    if (byte == '\r') {
        lastCarriageReturn_ = at.local;
    }
    afterCarriageReturn_ = byte == '\r';
    return result;
}

TruetimeDecoder::TruetimeDecoder()
    : AsciiLineDecoder(kSoh, '\r', OnTime::EndByte, 32, "Truetime") {}

std::optional<DecodedTime> TruetimeDecoder::decode(const std::string& line, double local) {
    // DDD:HH:MM:SSQ
    int hour = 0;
    int minute = 0;
    int second = 0;
    const int dayOfYear = digits(line, 0, 3);
    if (line.size() != 13 || line[3] != ':' || line[6] != ':' || line[9] != ':' || dayOfYear < 1 ||
        !clockTime(line, 4, hour, minute, second)) {
        refuse(core::format("Truetime message not understood (%s)", line.c_str()));
        return std::nullopt;
    }
    const char quality = line[12];
    if (quality == '?' || quality == '>') {
        refuse(core::format("Truetime clock not synchronised (quality '%c')", quality));
        return std::nullopt;
    }
    const auto reference = timecode::nearestDayOfYear(-1, dayOfYear, hour, minute, second, local);
    if (!reference) {
        refuse(core::format("Truetime day %d does not exist", dayOfYear));
        return std::nullopt;
    }
    return decoded(*reference, local);
}

SpectracomDecoder::SpectracomDecoder()
    : AsciiLineDecoder('\n', '\r', OnTime::CarriageReturnBefore, 40, "Spectracom") {}

std::optional<DecodedTime> SpectracomDecoder::decode(const std::string& line, double local) {
    int hour = 0;
    int minute = 0;
    int second = 0;
    std::optional<double> reference;
    if (line.size() == 22 && line.compare(17, 3, "TZ=") == 0) {
        // Format 0: I^^DDD^HH:MM:SS^^TZ=zz
        const int dayOfYear = digits(line, 3, 3);
        if (line[1] != ' ' || line[2] != ' ' || dayOfYear < 1 ||
            !clockTime(line, 7, hour, minute, second) || line[9] != ':' || line[12] != ':') {
            refuse(core::format("Spectracom message not understood (%s)", line.c_str()));
            return std::nullopt;
        }
        if (line.compare(20, 2, "00") != 0) {
            refuse(core::format("Spectracom time zone %s is not UTC", line.c_str() + 20));
            return std::nullopt;
        }
        reference = timecode::nearestDayOfYear(-1, dayOfYear, hour, minute, second, local);
    } else if (line.size() == 24 && line[4] == ' ' && line[8] == ' ' && line[17] == '.') {
        // Format 2: IQyy^ddd^hh:mm:ss.fff^LD
        const int year = digits(line, 2, 2);
        const int dayOfYear = digits(line, 5, 3);
        const int millis = digits(line, 18, 3);
        if (year < 0 || dayOfYear < 1 || millis < 0 || !clockTime(line, 9, hour, minute, second) ||
            line[11] != ':' || line[14] != ':') {
            refuse(core::format("Spectracom message not understood (%s)", line.c_str()));
            return std::nullopt;
        }
        if (line[1] == 'D') {
            refuse("Spectracom time quality worse than 500 ms");
            return std::nullopt;
        }
        reference = timecode::nearestDayOfYear(year, dayOfYear, hour, minute,
                                               second + millis / 1000.0, local);
    } else {
        refuse(core::format("Spectracom message not understood (%s)", line.c_str()));
        return std::nullopt;
    }
    if (line[0] == '?') {
        refuse("Spectracom clock not synchronised");
        return std::nullopt;
    }
    if (!reference) {
        refuse(core::format("Spectracom date does not exist (%s)", line.c_str()));
        return std::nullopt;
    }
    return decoded(*reference, local);
}

EndRunDecoder::EndRunDecoder() : AsciiLineDecoder('\n', '\r', OnTime::FirstByte, 64, "Praecis") {}

std::optional<DecodedTime> EndRunDecoder::decode(const std::string& line, double local) {
    // T YYYY DDD HH:MM:SS zZZ m (an extended message adds leap second fields)
    int hour = 0;
    int minute = 0;
    int second = 0;
    const int year = digits(line, 2, 4);
    const int dayOfYear = digits(line, 7, 3);
    const int halfHours = digits(line, 21, 2);
    if (line.size() < 25 || line[1] != ' ' || line[6] != ' ' || line[10] != ' ' ||
        line[13] != ':' || line[16] != ':' || line[19] != ' ' || line[23] != ' ' ||
        (line[20] != '+' && line[20] != '-') || year < 0 || halfHours < 0 || halfHours > 48 ||
        !clockTime(line, 11, hour, minute, second) || line[0] < '0' || line[0] > '9') {
        refuse(core::format("Praecis message not understood (%s)", line.c_str()));
        return std::nullopt;
    }
    if (line[0] == '9') {
        refuse("Praecis clock not synchronised (figure of merit 9)");
        return std::nullopt;
    }
    const char mode = line[24];
    if (mode != 'U' && mode != 'L') {
        refuse(core::format("Praecis time mode %c is not UTC or local time", mode));
        return std::nullopt;
    }
    int month = 0;
    int day = 0;
    if (!timecode::dateOfDayOfYear(year, dayOfYear, month, day)) {
        refuse(core::format("Praecis date does not exist (%s)", line.c_str()));
        return std::nullopt;
    }
    // Local time is ahead of UTC by the offset when its sign is '+'.
    const double offset = (line[20] == '-' ? -1.0 : 1.0) * halfHours * 1800.0;
    const double reference =
        timecode::timeValue(year, month, day, hour, minute, second) - (mode == 'L' ? offset : 0.0);
    return decoded(reference, local);
}

MeinbergDecoder::MeinbergDecoder()
    : AsciiLineDecoder(kStx, kEtx, OnTime::StartByte, 40, "NeoClock") {}

std::optional<DecodedTime> MeinbergDecoder::decode(const std::string& line, double local) {
    // D:dd.mm.yy;T:w;U:hh.mm.ss;uvxy
    const int day = digits(line, 2, 2);
    const int month = digits(line, 5, 2);
    const int year = digits(line, 8, 2);
    const int weekday = digits(line, 13, 1);
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (line.size() != 30 || line.compare(0, 2, "D:") != 0 || line.compare(10, 3, ";T:") != 0 ||
        line.compare(14, 3, ";U:") != 0 || line[25] != ';' || line[4] != '.' || line[7] != '.' ||
        year < 0 || weekday < 1 || weekday > 7 || !clockTime(line, 17, hour, minute, second)) {
        refuse(core::format("NeoClock message not understood (%s)", line.c_str()));
        return std::nullopt;
    }
    if (line[26] == '#') {
        refuse("NeoClock clock not synchronised since reset");
        return std::nullopt;
    }
    const char zone = line[28];
    const double offset = zone == 'U' ? 0.0 : zone == ' ' ? 3600.0 : zone == 'S' ? 7200.0 : -1;
    if (offset < 0) {
        refuse(core::format("NeoClock time zone '%c' not understood", zone));
        return std::nullopt;
    }
    const auto reference = timecode::nearestDate(year, month, day, hour, minute, second, local);
    if (!reference) {
        refuse(core::format("NeoClock date does not exist (%s)", line.c_str()));
        return std::nullopt;
    }
    return decoded(*reference - offset, local);
}

ArbiterDecoder::ArbiterDecoder()
    : AsciiLineDecoder('\n', '\r', OnTime::CarriageReturnBefore, 40, "EMCPro") {}

std::optional<DecodedTime> ArbiterDecoder::decode(const std::string& line, double local) {
    // i yy ddd hh:mm:ss.000bbb
    int hour = 0;
    int minute = 0;
    int second = 0;
    const int year = digits(line, 2, 2);
    const int dayOfYear = digits(line, 5, 3);
    const int millis = digits(line, 18, 3);
    bool padded = line.size() >= 21 && line.size() <= 24;
    for (size_t i = 21; padded && i < line.size(); ++i) {
        padded = line[i] == ' ';
    }
    if (!padded || line[1] != ' ' || line[4] != ' ' || line[8] != ' ' || line[11] != ':' ||
        line[14] != ':' || line[17] != '.' || year < 0 || dayOfYear < 1 || millis < 0 ||
        !clockTime(line, 9, hour, minute, second)) {
        refuse(core::format("EMCPro message not understood (%s)", line.c_str()));
        return std::nullopt;
    }
    if (line[0] == '?') {
        refuse("EMCPro clock not locked");
        return std::nullopt;
    }
    const auto reference =
        timecode::nearestDayOfYear(year, dayOfYear, hour, minute, second + millis / 1000.0, local);
    if (!reference) {
        refuse(core::format("EMCPro date does not exist (%s)", line.c_str()));
        return std::nullopt;
    }
    return decoded(*reference, local);
}

std::optional<DecodedTime> GudeDecoder::take(unsigned char byte, const ByteTime& at) {
    if (byte == '<') {
        if (state_ != State::Hunting) {
            refuse("Galleon message cut short");
        }
        state_ = State::Body;
        frame_.assign(1, '<');
        startLocal_ = at.local;
        return std::nullopt;
    }
    switch (state_) {
        case State::Hunting:
            break;
        case State::Body:
            frame_ += static_cast<char>(byte);
            if (byte == '>') {
                state_ = State::Checksum;
            } else if (frame_.size() > 24) {
                refuse("Galleon message too long");
                state_ = State::Hunting;
            }
            break;
        case State::Checksum:
            frame_ += static_cast<char>(byte);
            if (frame_.size() >= 26) {
                state_ = State::Hunting;
                return decode(startLocal_);
            }
            break;
    }
    return std::nullopt;
}

std::optional<DecodedTime> GudeDecoder::decode(double local) {
    // <hhmmTTMMYYWZFFSUA000KK>PP
    const size_t close = frame_.find('>');
    if (close != 23) {
        refuse(core::format("Galleon message not understood (%s)", frame_.c_str()));
        return std::nullopt;
    }
    unsigned sum = 0;
    for (size_t i = 0; i <= close; ++i) {
        sum += static_cast<unsigned char>(frame_[i]);
    }
    char* end = nullptr;
    const std::string sent = frame_.substr(close + 1, 2);
    const unsigned long checksum = std::strtoul(sent.c_str(), &end, 16);
    if (end != sent.c_str() + 2 || checksum != (sum & 0xFF)) {
        refuse(core::format("Galleon checksum error (%s)", frame_.c_str()));
        return std::nullopt;
    }
    const std::string body = frame_.substr(1, 22);
    const int hour = digits(body, 0, 2);
    const int minute = digits(body, 2, 2);
    const int day = digits(body, 4, 2);
    const int month = digits(body, 6, 2);
    const int year = digits(body, 8, 2);
    const int second = digits(body, 20, 2);
    const char summer = body[14];
    if (year < 0 || !timecode::validTimeOfDay(hour, minute, second) ||
        (summer != '0' && summer != '1')) {
        refuse(core::format("Galleon message not understood (%s)", frame_.c_str()));
        return std::nullopt;
    }
    if (body[11] != 'F') {
        refuse("Galleon clock running on its crystal");
        return std::nullopt;
    }
    const auto reference = timecode::nearestDate(year, month, day, hour, minute, second, local);
    if (!reference) {
        refuse(core::format("Galleon date does not exist (%s)", frame_.c_str()));
        return std::nullopt;
    }
    // German time: one hour ahead of UTC, two in summer.
    return decoded(*reference - (summer == '1' ? 7200.0 : 3600.0), local);
}

}  // namespace wire
