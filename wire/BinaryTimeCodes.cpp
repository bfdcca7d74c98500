#include "wire/BinaryTimeCodes.h"

#include <cmath>

#include "core/Format.h"
#include "core/TimeValue.h"

namespace wire {

namespace {

constexpr uint8_t kDle = 0x10;
constexpr uint8_t kEtx = 0x03;

uint16_t word(const std::vector<uint8_t>& b, size_t index) {
    return static_cast<uint16_t>(b[2 * index] | (b[2 * index + 1] << 8));
}

// Sum of words [from, to) modulo 2^16.
uint16_t wordSum(const std::vector<uint8_t>& b, size_t from, size_t to) {
    uint32_t sum = 0;
    for (size_t i = from; i < to; ++i) {
        sum += word(b, i);
    }
    return static_cast<uint16_t>(sum);
}

}  // namespace

std::optional<DecodedTime> TsipDecoder::take(unsigned char byte, const ByteTime& at) {
    switch (state_) {
        case State::Hunting:
            if (byte == kDle) {
                state_ = State::Id;
                startLocal_ = at.local;
            }
            return std::nullopt;
        case State::AfterDle:
        case State::Id:
            // DLE ETX ends a packet we did not see begin; DLE DLE is stuffed data.
            if (byte == kEtx || byte == kDle) {
                state_ = State::Hunting;
                return std::nullopt;
            }
            data_.assign(1, byte);
            state_ = State::InPacket;
            return std::nullopt;
        case State::InPacket:
            if (byte == kDle) {
                state_ = State::Escape;
            } else {
                data_.push_back(byte);
            }
            break;
        case State::Escape:
            if (byte == kDle) {
                data_.push_back(byte);
                state_ = State::InPacket;
            } else if (byte == kEtx) {
                state_ = State::Hunting;
                pendingLocal_ = startLocal_;
                return packet();
            } else {
                // A lone DLE starts the next packet: this one was cut short.
                if (data_.size() >= 2 && data_[0] == 0x8F && data_[1] == 0xAB) {
                    refuse("Trimble packet 8F-AB cut short");
                }
                data_.assign(1, byte);
                state_ = State::InPacket;
                startLocal_ = at.local;
            }
            break;
    }
    if (data_.size() > kMaxPacket) {
        refuse("Trimble packet too long");
        state_ = State::Hunting;
        data_.clear();
    }
    return std::nullopt;
}

std::optional<DecodedTime> TsipDecoder::packet() {
    const std::vector<uint8_t>& d = data_;
    if (d.size() < 2 || d[0] != 0x8F || d[1] != 0xAB) {
        return std::nullopt;
    }
    // 0x8F, then 17 bytes from the subcode to the year.
    if (d.size() != 18) {
        refuse(core::format("Trimble packet 8F-AB of %d bytes, not 17",
                            static_cast<int>(d.size() - 1)));
        return std::nullopt;
    }
    const int utcOffset = static_cast<int16_t>((d[8] << 8) | d[9]);
    const uint8_t flags = d[10];
    const int second = d[11];
    const int minute = d[12];
    const int hour = d[13];
    const int day = d[14];
    const int month = d[15];
    const int year = (d[16] << 8) | d[17];
    if ((flags & 0x04) != 0) {
        refuse("Trimble receiver has no time yet");
        return std::nullopt;
    }
    const bool utc = (flags & 0x01) != 0;
    if (!utc && (flags & 0x08) != 0) {
        refuse("Trimble receiver sends GPS time without UTC information");
        return std::nullopt;
    }
    if (!timecode::validDate(year, month, day) || !timecode::validTimeOfDay(hour, minute, second)) {
        refuse(core::format("Trimble time not understood (%d-%d-%d %d:%d:%d)", year, month, day,
                            hour, minute, second));
        return std::nullopt;
    }
    double reference = timecode::timeValue(year, month, day, hour, minute, second);
    if (!utc) {
        reference -= utcOffset;  // GPS time runs ahead of UTC by the offset
    }
    return DecodedTime{reference, pendingLocal_, timecode::timeText(reference)};
}

std::optional<DecodedTime> ZodiacDecoder::take(unsigned char byte, const ByteTime& at) {
    if (bytes_.empty()) {
        if (byte != (kSync & 0xFF)) {
            return std::nullopt;
        }
        startLocal_ = at.local;
    }
    bytes_.push_back(byte);
    if (bytes_.size() == 2) {
        bytes_.clear();
        if (byte == (kSync >> 8)) {
            bytes_ = {kSync & 0xFF, kSync >> 8};
            wanted_ = 10;
        } else if (byte == (kSync & 0xFF)) {
            // Not the sync word, but this byte may begin one.
            bytes_.push_back(byte);
            startLocal_ = at.local;
        }
        return std::nullopt;
    }
    if (bytes_.size() < wanted_) {
        return std::nullopt;
    }
    if (wanted_ == 10) {
        // The header is checked before its word count is trusted.
        const uint16_t count = word(bytes_, 2);
        if (wordSum(bytes_, 0, 5) != 0 || count > 1000) {
            refuse("Zodiac header checksum error");
            bytes_.clear();
            wanted_ = 2;
            return std::nullopt;
        }
        if (count > 0) {
            wanted_ = 10 + 2 * (count + 1u);
            return std::nullopt;
        }
    }
    std::optional<DecodedTime> result = message();
    bytes_.clear();
    wanted_ = 2;
    return result;
}

std::optional<DecodedTime> ZodiacDecoder::message() {
    if (bytes_.size() < 10) {
        return std::nullopt;
    }
    const uint16_t id = word(bytes_, 1);
    const uint16_t count = word(bytes_, 2);
    if (count == 0) {
        return std::nullopt;
    }
    if (wordSum(bytes_, 5, 5 + count + 1u) != 0) {
        refuse(core::format("Zodiac message %u data checksum error", id));
        return std::nullopt;
    }
    if (id != kUtcTimeMark) {
        return std::nullopt;
    }
    if (count != 14) {
        refuse(core::format("Zodiac message 1108 of %u words, not 14", count));
        return std::nullopt;
    }
    // Words are numbered from 1 with the header: data word n is index n - 1.
    const uint32_t secondsOfWeek =
        word(bytes_, 13) | (static_cast<uint32_t>(word(bytes_, 14)) << 16);
    const uint16_t validity = word(bytes_, 18);
    if ((validity & 0x01) == 0) {
        refuse("Zodiac time mark not valid");
        return std::nullopt;
    }
    if (secondsOfWeek >= 7u * 86400u) {
        refuse(core::format("Zodiac seconds of week %u out of range", secondsOfWeek));
        return std::nullopt;
    }
    // Weeks begin on Sunday; 1970-01-04 was one.
    const double local = startLocal_;
    const double firstSunday = 3.0 * 86400.0 + core::kNtpUnixOffset;
    const double week = std::floor((local - firstSunday) / (7.0 * 86400.0));
    double best = firstSunday + week * 7.0 * 86400.0 + secondsOfWeek;
    for (const double other : {best - 7.0 * 86400.0, best + 7.0 * 86400.0}) {
        if (std::fabs(other - local) < std::fabs(best - local)) {
            best = other;
        }
    }
    // The message names the second of the pulse that follows it.
    const double reference = best - kLeadSeconds;
    return DecodedTime{reference, local, timecode::timeText(best)};
}

}  // namespace wire
