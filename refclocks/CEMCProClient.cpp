#include "refclocks/CEMCProClient.h"

namespace refclocks {

CEMCProClient::CEMCProClient(core::MessageHandler& messages, core::TimeHandler& time,
                             std::string portName, int pollMinutes)
    : CSerialClient(messages, time, std::move(portName), pollMinutes, kBaudRate, 8, kParity,
                    kStopBits, kSourceName) {}

CEMCProClient::~CEMCProClient() {
    stop();
}

void CEMCProClient::lineReset() {
    (void)port_->purge();
}

void CEMCProClient::run() {
    lineReset();
    runTimeCode(decoder_, "EMCPro", "GPS");
}

}  // namespace refclocks
