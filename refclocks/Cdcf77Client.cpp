#include "refclocks/Cdcf77Client.h"

namespace refclocks {

Cdcf77Client::Cdcf77Client(core::MessageHandler& messages, core::TimeHandler& time,
                           std::string portName, int pollMinutes)
    : CSerialClient(messages, time, std::move(portName), pollMinutes, kBaudRate, 8, kParity,
                    kStopBits, kSourceName) {}

Cdcf77Client::~Cdcf77Client() {
    stop();
}

void Cdcf77Client::lineReset() {
    // The pulse line needs no reset.
}

void Cdcf77Client::run() {
    preparePulseLine();
    lineReset();
    runTimeCode(decoder_, "DCF77", "DCF");
}

}  // namespace refclocks
