#pragma once
#include "refclocks/BinaryTimeCodes.h"
#include "refclocks/CGPSClient.h"
#include "refclocks/TimeCodeReader.h"

namespace refclocks {

// Rockwell/Conexant Zodiac (Jupiter) GPS engines speaking their binary protocol on the GPS
// port (9600 baud 8-N-1 by default, GPSSpeed 1): the UTC time of message 1108 (see
// ZodiacDecoder), reported at most once a poll interval.
class CZodiac : public CGPSClient {
public:
    static constexpr const char* kSourceName = "Zodiac GPS Client";

    CZodiac(engine::MessageHandler& messages, engine::TimeHandler& time, int pollMinutes,
            int portNumber, int speedIndex);
    ~CZodiac() override;

    void run() override;

private:
    ZodiacDecoder decoder_;
    ReportSchedule schedule_;
};

}  // namespace refclocks
