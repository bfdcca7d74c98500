#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The packet code stands on its own (no engine): the Wisp programs use it too.
namespace wire {

// Four bytes of reference identifier: letters such as "LOCL" or an IPv4 address in network
// order (the same type as the engine's reference identifier).
using NtpReferenceId = std::array<uint8_t, 4>;

// The NTP version 3 header every NTP exchange of the system uses: 48 bytes, big-endian,
// without authenticator or extension fields.
inline constexpr size_t kNtpPacketSize = 48;
inline constexpr uint16_t kNtpFallbackPort = 123;

inline constexpr uint8_t kClientRequestByte0 = 27;  // LI 0, VN 3, mode 3
inline constexpr uint8_t kBroadcastByte0 = 29;      // LI 0, VN 3, mode 5
inline constexpr int8_t kServerPrecision = -8;

enum NtpMode : int {
    kModeSymmetricActive = 1,
    kModeSymmetricPassive = 2,
    kModeClient = 3,
    kModeServer = 4,
    kModeBroadcast = 5,
};

// One 64-bit timestamp field: seconds since 1900 (modulo 2^32) and the fraction.
struct NtpTimestamp {
    uint32_t seconds = 0;
    uint32_t fraction = 0;
    bool operator==(const NtpTimestamp&) const = default;
};

// Seconds since 1900 (time value) to a timestamp: millisecond resolution, each millisecond
// 4294967 fraction units, seconds modulo 2^32.
NtpTimestamp encodeTimestamp(double timeValue);
// A timestamp read as era 0: seconds + fraction / (2^32 - 1).
double decodeTimestamp(const NtpTimestamp& stamp);
// The same instant in the era nearest `reference` (a time value), so differences stay right
// across the 2036 wrap of the seconds field.
double decodeTimestampNear(const NtpTimestamp& stamp, double reference);

// What a datagram that arrives on the NTP port is, judged before anything acts on it. Only
// whole headers count, and only requests of versions 1 to 4 are answered, so that no
// datagram (an empty one, a stray answer, a daytime text) can set two servers answering each
// other for ever.
enum class NtpDatagram {
    Ignored,
    Request,      // mode 3 (answered in mode 4) or mode 1 (answered in mode 2)
    ServerReply,  // mode 4: for a client waiting on this socket
    Broadcast,    // mode 5 with a transmit time
};
NtpDatagram classifyNtpDatagram(const uint8_t* data, size_t size);

class NtpPacket {
public:
    // Byte offsets of the fields.
    static constexpr size_t kStratum = 1;
    static constexpr size_t kPoll = 2;
    static constexpr size_t kPrecision = 3;
    static constexpr size_t kReferenceId = 12;
    static constexpr size_t kReferenceTime = 16;
    static constexpr size_t kOriginate = 24;
    static constexpr size_t kReceive = 32;
    static constexpr size_t kTransmit = 40;

    using Bytes = std::array<uint8_t, kNtpPacketSize>;

    NtpPacket() = default;  // all zero
    explicit NtpPacket(const Bytes& bytes) : bytes_(bytes) {}
    // The first 48 bytes of a datagram; nothing when it is shorter.
    static std::optional<NtpPacket> fromBytes(const void* data, size_t size);

    // A client request for the time `now`: byte 0 = 27, originate = transmit = now.
    static NtpPacket request(double now);

    // What a server puts into its answer; the transmit time is taken just before sending.
    struct ServerFields {
        uint8_t stratum = 0;
        int pollExponent = 0;
        NtpReferenceId referenceId{};
        double referenceTime = 0;
        double receiveTime = 0;
        double transmitTime = 0;
    };
    // The answer to `request`: its version kept, mode 4 for a client request, mode 2
    // otherwise; precision -8; the request's transmit timestamp copied as originate.
    static NtpPacket serverReply(const NtpPacket& request, const ServerFields& fields);
    // Byte 0 of that answer.
    static uint8_t replyByte0(uint8_t requestByte0);
    // A mode-5 broadcast (byte 0 = 29, precision 0, originate and receive zero).
    static NtpPacket broadcast(uint8_t stratum, int pollExponent, const NtpReferenceId& referenceId,
                               double referenceTime, double transmitTime);

    const Bytes& bytes() const { return bytes_; }
    const uint8_t* data() const { return bytes_.data(); }

    int leapIndicator() const { return bytes_[0] >> 6; }
    int version() const { return (bytes_[0] >> 3) & 7; }
    int mode() const { return bytes_[0] & 7; }
    int stratum() const { return bytes_[kStratum]; }
    int poll() const { return bytes_[kPoll]; }
    int precision() const { return static_cast<int8_t>(bytes_[kPrecision]); }
    NtpReferenceId referenceId() const;

    NtpTimestamp timestamp(size_t offset) const;
    void setTimestamp(size_t offset, const NtpTimestamp& stamp);
    // The same into the eight bytes at `at` of a datagram buffer.
    static void putTimestamp(uint8_t* at, const NtpTimestamp& stamp);
    void setTime(size_t offset, double timeValue) {
        setTimestamp(offset, encodeTimestamp(timeValue));
    }
    // True when the eight bytes at `offset` equal those at `otherOffset` of `other`.
    bool sameStamp(size_t offset, const NtpPacket& other, size_t otherOffset) const;

    // A server that is synchronised: leap indicator not 3, stratum 1 to 15, transmit seconds
    // not zero.
    bool passesAcceptance() const;
    // The reply may be used: checked only when the entry asks to reject unsynchronised servers.
    bool usable(bool rejectNtp) const { return !rejectNtp || passesAcceptance(); }

    // "Ver: 3 Stratum: 2 Mode: 4 Poll: 6 Precision -20", logged for received datagrams.
    std::string diagnosticLine() const;

    // Offset of the local clock from a client exchange answered by this reply, handled at
    // `now`: ((T2 - T1) + (T3 - T4)) / 2; positive when the local clock is behind.
    double clientOffset(double now) const;
    // Offset from a broadcast handled at `now`: T3 - T4.
    double broadcastOffset(double now) const;

private:
    Bytes bytes_{};
};

}  // namespace wire
