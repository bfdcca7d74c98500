#pragma once
#include "refclocks/CGPSClient.h"
#include "refclocks/TimeCodeReader.h"
#include "wire/BinaryTimeCodes.h"

namespace refclocks {

// Rockwell/Conexant Zodiac (Jupiter) GPS engines speaking their binary protocol on the GPS
// port (9600 baud 8-N-1 by default, GPSSpeed 1): the UTC time of message 1108 (see
// wire::ZodiacDecoder), reported at most once a poll interval.
class CZodiac : public CGPSClient {
public:
    static constexpr const char* kSourceName = "Zodiac GPS Client";

    CZodiac(core::MessageHandler& messages, core::TimeHandler& time, int pollMinutes,
            int portNumber, int speedIndex);
    ~CZodiac() override;

    void run() override;

private:
    wire::ZodiacDecoder decoder_;
    ReportSchedule schedule_;
};

}  // namespace refclocks
