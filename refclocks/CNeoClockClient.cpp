#include "refclocks/CNeoClockClient.h"

namespace refclocks {

CNeoClockClient::CNeoClockClient(core::MessageHandler& messages, core::TimeHandler& time,
                                 std::string portName, int pollMinutes)
    : CSerialClient(messages, time, std::move(portName), pollMinutes, kBaudRate, 8, kParity,
                    kStopBits, kSourceName) {}

CNeoClockClient::~CNeoClockClient() {
    stop();
}

void CNeoClockClient::lineReset() {
    (void)port_->purge();
}

void CNeoClockClient::run() {
    lineReset();
    runTimeCode(decoder_, "NeoClock", "DCF");
}

}  // namespace refclocks
