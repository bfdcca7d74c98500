#include "refclocks/Cdcf77Client.h"

namespace refclocks {

Cdcf77Client::Cdcf77Client(engine::MessageHandler& messages, engine::TimeHandler& time,
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
    // The receiver is powered from DTR alone, and a read ends 1.5 s into the second
    // without a pulse.
    if (!port_->setRts(false).ok()) {
        messages_.debug(name(), "RTS control failed");
    }
    platform::SerialTimeouts timeouts;
    timeouts.readTotalConstant = 1500;
    timeouts.writeTotalConstant = 1000;
    (void)port_->setTimeouts(timeouts);
    lineReset();
    runTimeCode(decoder_, "DCF77", "DCF");
}

}  // namespace refclocks
