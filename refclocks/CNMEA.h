#pragma once
#include <string>
#include <string_view>

#include "refclocks/CGPSClient.h"
#include "wire/NmeaSentence.h"

namespace refclocks {

// Reads NMEA 0183 sentences from a GPS receiver and reports the local clock's offset at most
// once a minute (every poll interval's worth of minutes).
class CNMEA : public CGPSClient {
public:
    static constexpr const char* kSourceName = "NMEA Client";
    static constexpr size_t kSentenceBytes = 1023;
    static constexpr long long kWakeupDelayMs = 5000;

    CNMEA(core::MessageHandler& messages, core::TimeHandler& time, int pollMinutes, int portNumber,
          int speedIndex, std::string wakeup, int delayMs);
    ~CNMEA() override;

    void run() override;

    // \n, \r and \t become their control characters; a backslash before anything else
    // stands for that character.
    static std::string expandWakeup(const std::string& text);

protected:
    CNMEA(core::MessageHandler& messages, core::TimeHandler& time, int pollMinutes, int portNumber,
          int speedIndex, std::string wakeup, int delayMs, std::string sourceName);

    // Called after each sentence is collected, before it is used; false drops it.
    virtual bool awaitTimeMark() { return true; }
    // Seconds added to the RMC offset: the 1PPS client marks the second after the sentence.
    virtual double rmcMarkSeconds() const { return 0.0; }

private:
    void sendWakeup();
    void useSentence(std::string_view sentence);
    void onRmc();
    void onZda();
    void onGga();
    // The reference time of the last sentence as a time value, delay included.
    double referenceTime() const;
    // Reports at most once a minute: `offsetFor` turns the local clock into the correction.
    template <typename Offset>
    void minuteRule(bool mayReport, Offset offsetFor);

    const std::string wakeup_;
    const int delayMs_;

    wire::NmeaReading reading_;
    bool armed_ = true;
    int countdown_ = 0;
    bool zdaSeen_ = false;
    bool rmcSeen_ = false;
};

}  // namespace refclocks
