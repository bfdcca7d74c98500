#pragma once
#include "refclocks/CSerialClient.h"
#include "wire/AsciiTimeCodes.h"

namespace refclocks {

// EndRun Technologies' Praecis Ct, Cf and Ce CDMA time receivers: their native time-of-day
// message once a second at 9600 baud 8-N-1 (see wire::EndRunDecoder).
class CPraecisClient : public CSerialClient {
public:
    static constexpr const char* kSourceName = "Praecis Clock Client";
    static constexpr int kBaudRate = 9600;
    static constexpr int kParity = 0;
    static constexpr int kStopBits = 0;

    CPraecisClient(core::MessageHandler& messages, core::TimeHandler& time, std::string portName,
                   int pollMinutes);
    ~CPraecisClient() override;

    void run() override;
    void lineReset() override;

private:
    wire::EndRunDecoder decoder_{};
};

}  // namespace refclocks
