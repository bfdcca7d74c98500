#include "netclients/Crfc868Client.h"

#include "wire/NtpPacket.h"

namespace netclients {

namespace {

constexpr CRfcTimeClient::Protocol kTime{"time", 37, 4, 8, 4};

}  // namespace

Crfc868Client::Crfc868Client(core::MessageHandler& messages, core::TimeHandler& time,
                             std::string serverAddress, int pollMinutes, std::string sourceName,
                             engine::DialupGate* dialup, Transport transport)
    : CRfcTimeClient(messages, time, std::move(serverAddress), pollMinutes, std::move(sourceName),
                     dialup, transport, kTime) {}

void Crfc868Client::useAnswer(const uint8_t* data, size_t /*size*/) {
    const uint32_t seconds = static_cast<uint32_t>(data[0]) << 24 |
                             static_cast<uint32_t>(data[1]) << 16 |
                             static_cast<uint32_t>(data[2]) << 8 | data[3];
    const double now = time_.now();
    // The value counts modulo 2^32 like NTP's: read it in the era nearest our clock.
    const double server = wire::decodeTimestampNear({seconds, 0}, now);
    time_.setTime(server - now);
    time_.setReferenceId(core::referenceIdFromText("TIME"));
}

}  // namespace netclients
