#include "refclocks/CPulseClient.h"

namespace refclocks {

CPulseClient::CPulseClient(core::MessageHandler& messages, core::TimeHandler& time,
                           std::string portName, int pollMinutes)
    : CSerialClient(messages, time, std::move(portName), pollMinutes, kBaudRate, 8, kParity,
                    kStopBits, kSourceName) {}

CPulseClient::~CPulseClient() {
    stop();
}

void CPulseClient::lineReset() {
    // The pulse line needs no reset.
}

void CPulseClient::run() {
    preparePulseLine();
    lineReset();
    runTimeCode(decoder_, "Pulse", "DCF", true);
}

}  // namespace refclocks
