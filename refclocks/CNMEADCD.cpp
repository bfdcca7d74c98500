#include "refclocks/CNMEADCD.h"

#include <chrono>

#include "platform/Clock.h"

namespace refclocks {

CNMEADCD::CNMEADCD(core::MessageHandler& messages, core::TimeHandler& time, int pollMinutes,
                   int portNumber, int speedIndex, std::string wakeup, int delayMs)
    : CNMEA(messages, time, pollMinutes, portNumber, speedIndex, std::move(wakeup), delayMs,
            kSourceName) {}

CNMEADCD::~CNMEADCD() {
    stop();
}

bool CNMEADCD::awaitTimeMark() {
    // Measured on monotonic time: the wall clock is what this source corrects.
    const auto a = platform::processClock().monotonic();
    uint32_t reference = 0;
    if (port_
            ->setEventMask(platform::modem::kEventCts | platform::modem::kEventDsr |
                           platform::modem::kEventRlsd)
            .ok() &&
        port_->modemStatus(reference).ok()) {
        if (port_->waitForModemChange(reference, kPulseLimit, &stopEvent_) ==
            platform::ModemWait::Stopped) {
            markStopped();
            return false;
        }
    }
    const auto b = platform::processClock().monotonic();
    if (std::chrono::duration_cast<std::chrono::seconds>(b - a).count() < 2) {
        return true;
    }
    messages_.debug(name(), "Missed DCD change");
    return false;
}

}  // namespace refclocks
