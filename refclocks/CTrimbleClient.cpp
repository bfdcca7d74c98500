#include "refclocks/CTrimbleClient.h"

namespace refclocks {

CTrimbleClient::CTrimbleClient(core::MessageHandler& messages, core::TimeHandler& time,
                               std::string portName, int pollMinutes)
    : CSerialClient(messages, time, std::move(portName), pollMinutes, kBaudRate, 8, kParity,
                    kStopBits, kSourceName) {}

CTrimbleClient::~CTrimbleClient() {
    stop();
}

void CTrimbleClient::lineReset() {
    (void)port_->purge();
    if (!port_->setRts(true).ok()) {
        messages_.debug(name(), "RTS control failed");
    }
    (void)port_->setRts(false);
}

void CTrimbleClient::run() {
    lineReset();
    runTimeCode(decoder_, "Trimble", "GPS");
}

}  // namespace refclocks
