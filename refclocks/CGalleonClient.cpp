#include "refclocks/CGalleonClient.h"

namespace refclocks {

CGalleonClient::CGalleonClient(core::MessageHandler& messages, core::TimeHandler& time,
                               std::string portName, int pollMinutes)
    : CSerialClient(messages, time, std::move(portName), pollMinutes, kBaudRate, 8, kParity,
                    kStopBits, kSourceName) {}

CGalleonClient::~CGalleonClient() {
    stop();
}

void CGalleonClient::lineReset() {
    (void)port_->purge();
}

void CGalleonClient::run() {
    lineReset();
    runTimeCode(decoder_, "Galleon", "DCF");
}

}  // namespace refclocks
