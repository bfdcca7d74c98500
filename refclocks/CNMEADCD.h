#pragma once
#include "refclocks/CNMEA.h"

namespace refclocks {

// The NMEA client for receivers with a 1PPS pulse on a modem-status line: the sentence gives
// the date and time, the next change of the modem lines marks the second.
class CNMEADCD : public CNMEA {
public:
    static constexpr const char* kSourceName = "NMEA with 1PPS Client";
    // A pulse later than this after the sentence belongs to another second; also the bound
    // on the wait, so stop never waits on a receiver without a pulse line.
    static constexpr platform::Millis kPulseLimit{2000};

    CNMEADCD(core::MessageHandler& messages, core::TimeHandler& time, int pollMinutes,
             int portNumber, int speedIndex, std::string wakeup, int delayMs);
    ~CNMEADCD() override;

protected:
    bool awaitTimeMark() override;
    double rmcMarkSeconds() const override { return 1.0; }
};

}  // namespace refclocks
