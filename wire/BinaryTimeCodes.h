#pragma once
// The binary time messages of GPS timing receivers.
#include <cstdint>
#include <vector>

#include "wire/TimeCode.h"

namespace wire {

// Trimble Standard Interface Protocol: packets framed "DLE id data DLE ETX", a DLE inside
// doubled. The time comes from the primary timing packet 0x8F-AB, sent once a second just
// after the pulse it describes: subcode 0xAB, time of week U32, week U16, UTC offset S16,
// timing flags U8 (bit 0 UTC rather than GPS time, bit 2 time not set, bit 3 no UTC
// information), seconds, minutes, hours, day, month U8, year U16, all big-endian.
// Followed: Trimble's ThunderBolt GPS Disciplined Clock user guide, appendix "Trimble
// Standard Interface Protocol" (packet 0x8F-AB).
class TsipDecoder : public TimeCodeDecoder {
public:
    static constexpr size_t kMaxPacket = 256;
    std::optional<DecodedTime> take(unsigned char byte, const ByteTime& at) override;

private:
    std::optional<DecodedTime> packet();

    enum class State { Hunting, AfterDle, Id, InPacket, Escape } state_ = State::Hunting;
    std::vector<uint8_t> data_;  // id first, unstuffed
    double startLocal_ = 0;
    double pendingLocal_ = 0;
};

// The Rockwell/Conexant Zodiac (Jupiter) binary protocol: 16-bit little-endian words; a
// header of the sync word 0x81FF, the message ID, the data word count, flags and a header
// checksum, then the data words and a data checksum (each checksum makes its words sum to
// 0). The time comes from message 1108, "UTC time mark pulse output": UTC seconds of the
// week (words 14-15, low word first), the GPS-UTC offset (16-18) and its validity (19.0 time
// mark valid). It is sent about 400 ms before the pulse whose second
// it names. Followed: the Zodiac/Jupiter GPS receiver family designer's guide (Navman
// MN002000A, section 3.5, table 3-14). The week is the one that puts the time nearest the
// local clock, as the message does not name it.
class ZodiacDecoder : public TimeCodeDecoder {
public:
    static constexpr uint16_t kSync = 0x81FF;
    static constexpr uint16_t kUtcTimeMark = 1108;
    static constexpr double kLeadSeconds = 0.4;
    std::optional<DecodedTime> take(unsigned char byte, const ByteTime& at) override;

private:
    std::optional<DecodedTime> message();

    std::vector<uint8_t> bytes_;
    size_t wanted_ = 2;
    double startLocal_ = 0;
};

}  // namespace wire
