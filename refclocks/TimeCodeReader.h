#pragma once
#include <chrono>
#include <functional>

#include "core/ThreadObject.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "wire/TimeCode.h"

namespace refclocks {

// The receive loop of every receiver: reads the port a byte at a time until the client stops,
// hands each byte to `decoder` with the moment it came, reports empty reads and silences
// longer than `silenceSeconds` as gaps, logs refused messages at Warn and hands each decoded
// time to `report` (stamped now when the decoder times a message at its end). true when the
// stop event ended a read.
bool readTimeCodes(const core::ThreadObject& client, platform::SerialPort& port,
                   platform::Event& stop, core::MessageHandler& messages, core::TimeHandler& time,
                   wire::TimeCodeDecoder& decoder, double silenceSeconds,
                   const std::function<void(const wire::DecodedTime&)>& report);

// Receivers send a time every second or minute; the engine hears of one per poll interval.
class ReportSchedule {
public:
    bool due() const { return !reported_ || platform::processClock().monotonic() >= next_; }
    void reported(int pollMinutes);

private:
    bool reported_ = false;
    std::chrono::steady_clock::time_point next_{};
};

}  // namespace refclocks
