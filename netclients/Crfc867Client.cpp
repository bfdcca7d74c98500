#include "netclients/Crfc867Client.h"

#include <cstring>
#include <string>

#include "core/Format.h"
#include "wire/DaytimeText.h"

namespace netclients {

namespace {

constexpr CRfcTimeClient::Protocol kDaytime{"daytime", 13, 128, 128, 1};

}  // namespace

Crfc867Client::Crfc867Client(core::MessageHandler& messages, core::TimeHandler& time,
                             std::string serverAddress, int pollMinutes, std::string sourceName,
                             engine::DialupGate* dialup, Transport transport)
    : CRfcTimeClient(messages, time, std::move(serverAddress), pollMinutes, std::move(sourceName),
                     dialup, transport, kDaytime) {}

void Crfc867Client::useAnswer(const uint8_t* data, size_t size) {
    // The answer is text: it ends at the first zero byte.
    const void* zero = std::memchr(data, 0, size);
    const std::string text(reinterpret_cast<const char*>(data),
                           zero ? static_cast<const uint8_t*>(zero) - data : size);
    const double now = time_.now();
    if (const auto remote = wire::secondsWithinHour(text)) {
        time_.setTime(wire::correctionWithinHour(wire::localSecondsWithinHour(now), *remote));
        time_.setReferenceId(core::referenceIdFromText("DAYT"));
    } else {
        messages_.warn(name(), "No valid time returned");
        time_.sourceFailed();
    }
    messages_.debug(name(), "received >%.400s<", core::printableForLog(text).c_str());
}

}  // namespace netclients
