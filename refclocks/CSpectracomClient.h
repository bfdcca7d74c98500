#pragma once
#include "refclocks/CSerialClient.h"
#include "wire/AsciiTimeCodes.h"

namespace refclocks {

// Spectracom WWVB and GPS clocks: data formats 0 and 2 at 9600 baud 8-N-1 (see
// wire::SpectracomDecoder).
class CSpectracomClient : public CSerialClient {
public:
    static constexpr const char* kSourceName = "Spectracom Clock Client";
    static constexpr int kBaudRate = 9600;
    static constexpr int kParity = 0;
    static constexpr int kStopBits = 0;

    CSpectracomClient(core::MessageHandler& messages, core::TimeHandler& time, std::string portName,
                      int pollMinutes);
    ~CSpectracomClient() override;

    void run() override;
    void lineReset() override;

private:
    wire::SpectracomDecoder decoder_{};
};

}  // namespace refclocks
