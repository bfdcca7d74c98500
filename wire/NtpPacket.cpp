#include "wire/NtpPacket.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace wire {

namespace {

constexpr double kEraSeconds = 4294967296.0;  // 2^32
constexpr double kFractionDivisor = 4294967295.0;
constexpr uint32_t kFractionPerMillisecond = 4294967;

uint32_t readWord(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void writeWord(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

}  // namespace

NtpTimestamp encodeTimestamp(double timeValue) {
    if (!std::isfinite(timeValue)) {
        return {};
    }
    // floor equals truncation for every real time value; for the rest it keeps the
    // millisecond count in 0..999 and the conversions below defined.
    const double whole = std::floor(timeValue);
    double inEra = std::fmod(whole, kEraSeconds);
    if (inEra < 0) {
        inEra += kEraSeconds;
    }
    double milliseconds = std::trunc((timeValue - whole) * 1000.0);
    if (milliseconds > 999.0) {
        milliseconds = 999.0;
    }
    if (milliseconds < 0.0) {
        milliseconds = 0.0;
    }
    return {static_cast<uint32_t>(inEra),
            static_cast<uint32_t>(milliseconds) * kFractionPerMillisecond};
}

double decodeTimestamp(const NtpTimestamp& stamp) {
    return static_cast<double>(stamp.seconds) +
           static_cast<double>(stamp.fraction) / kFractionDivisor;
}

double decodeTimestampNear(const NtpTimestamp& stamp, double reference) {
    const double eraZero = decodeTimestamp(stamp);
    if (!std::isfinite(reference)) {
        return eraZero;
    }
    return eraZero + std::round((reference - eraZero) / kEraSeconds) * kEraSeconds;
}

std::optional<NtpPacket> NtpPacket::fromBytes(const void* data, size_t size) {
    if (data == nullptr || size < kNtpPacketSize) {
        return std::nullopt;
    }
    NtpPacket packet;
    std::memcpy(packet.bytes_.data(), data, kNtpPacketSize);
    return packet;
}

NtpPacket NtpPacket::request(double now) {
    NtpPacket packet;
    packet.bytes_[0] = kClientRequestByte0;
    const NtpTimestamp sent = encodeTimestamp(now);
    packet.setTimestamp(kOriginate, sent);
    packet.setTimestamp(kTransmit, sent);
    return packet;
}

NtpDatagram classifyNtpDatagram(const uint8_t* data, size_t size) {
    if (size < kNtpPacketSize) {
        return NtpDatagram::Ignored;
    }
    const int version = (data[0] >> 3) & 7;
    switch (data[0] & 7) {
        case kModeSymmetricActive:
        case kModeClient:
            return version >= 1 && version <= 4 ? NtpDatagram::Request : NtpDatagram::Ignored;
        case kModeServer:
            return NtpDatagram::ServerReply;
        case kModeBroadcast: {
            // A broadcast without a transmit time would set the clock back to 1900.
            const uint8_t* transmit = data + NtpPacket::kTransmit;
            const bool stamped = std::any_of(transmit, transmit + 8, [](uint8_t b) { return b; });
            return stamped ? NtpDatagram::Broadcast : NtpDatagram::Ignored;
        }
        default:
            return NtpDatagram::Ignored;
    }
}

uint8_t NtpPacket::replyByte0(uint8_t requestByte0) {
    const int mode = requestByte0 & 7;
    return static_cast<uint8_t>((requestByte0 & 0x38) |
                                (mode == kModeClient ? kModeServer : kModeSymmetricPassive));
}

NtpPacket NtpPacket::serverReply(const NtpPacket& request, const ServerFields& fields) {
    NtpPacket packet;
    packet.bytes_[0] = replyByte0(request.bytes_[0]);
    packet.bytes_[kStratum] = fields.stratum;
    packet.bytes_[kPoll] = static_cast<uint8_t>(fields.pollExponent);
    packet.bytes_[kPrecision] = static_cast<uint8_t>(kServerPrecision);
    std::memcpy(&packet.bytes_[kReferenceId], fields.referenceId.data(), fields.referenceId.size());
    packet.setTime(kReferenceTime, fields.referenceTime);
    std::memcpy(&packet.bytes_[kOriginate], &request.bytes_[kTransmit], 8);
    packet.setTime(kReceive, fields.receiveTime);
    packet.setTime(kTransmit, fields.transmitTime);
    return packet;
}

NtpPacket NtpPacket::broadcast(uint8_t stratum, int pollExponent, const NtpReferenceId& referenceId,
                               double referenceTime, double transmitTime) {
    NtpPacket packet;
    packet.bytes_[0] = kBroadcastByte0;
    packet.bytes_[kStratum] = stratum;
    packet.bytes_[kPoll] = static_cast<uint8_t>(pollExponent);
    std::memcpy(&packet.bytes_[kReferenceId], referenceId.data(), referenceId.size());
    packet.setTime(kReferenceTime, referenceTime);
    packet.setTime(kTransmit, transmitTime);
    return packet;
}

NtpReferenceId NtpPacket::referenceId() const {
    NtpReferenceId id{};
    std::memcpy(id.data(), &bytes_[kReferenceId], id.size());
    return id;
}

NtpTimestamp NtpPacket::timestamp(size_t offset) const {
    return {readWord(&bytes_[offset]), readWord(&bytes_[offset + 4])};
}

void NtpPacket::setTimestamp(size_t offset, const NtpTimestamp& stamp) {
    putTimestamp(&bytes_[offset], stamp);
}

void NtpPacket::putTimestamp(uint8_t* at, const NtpTimestamp& stamp) {
    writeWord(at, stamp.seconds);
    writeWord(at + 4, stamp.fraction);
}

bool NtpPacket::sameStamp(size_t offset, const NtpPacket& other, size_t otherOffset) const {
    return std::memcmp(&bytes_[offset], &other.bytes_[otherOffset], 8) == 0;
}

bool NtpPacket::passesAcceptance() const {
    const uint8_t stratumLessOne = static_cast<uint8_t>(bytes_[kStratum] - 1);
    return bytes_[0] < 192 && stratumLessOne <= 14 && timestamp(kTransmit).seconds != 0;
}

std::string NtpPacket::diagnosticLine() const {
    char line[80];
    std::snprintf(line, sizeof line, "Ver: %d Stratum: %d Mode: %d Poll: %d Precision %d",
                  version(), stratum(), mode(), poll(), precision());
    return line;
}

double NtpPacket::clientOffset(double now) const {
    const double t1 = decodeTimestampNear(timestamp(kOriginate), now);
    const double t2 = decodeTimestampNear(timestamp(kReceive), now);
    const double t3 = decodeTimestampNear(timestamp(kTransmit), now);
    return ((t2 - t1) + (t3 - now)) / 2.0;
}

double NtpPacket::broadcastOffset(double now) const {
    return decodeTimestampNear(timestamp(kTransmit), now) - now;
}

}  // namespace wire
