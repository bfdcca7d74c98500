#include "refclocks/CGPSClient.h"

#include "core/Format.h"

namespace refclocks {

CGPSClient::CGPSClient(core::MessageHandler& messages, core::TimeHandler& time, int pollMinutes,
                       int portNumber, int speedIndex, std::string sourceName)
    : CTimeClient(messages, time, devicePath(portNumber), pollMinutes, std::move(sourceName)),
      portNumber_(portNumber),
      speedIndex_(speedIndex) {}

CGPSClient::~CGPSClient() {
    stop();
}

const char* CGPSClient::modeString(int speedIndex) {
    switch (speedIndex) {
        case 0:
            return "baud=4800 parity=N data=8 stop=1";
        case 1:
            return "baud=9600 parity=N data=8 stop=1";
        default:
            return nullptr;
    }
}

std::string CGPSClient::devicePath(int portNumber) {
    return core::format("\\\\.\\COM%d", portNumber);
}

void CGPSClient::start() {
    const char* mode = modeString(speedIndex_);
    if (mode == nullptr) {
        messages_.error(name(), "GPS speed %d is not supported, using 4800 baud", speedIndex_);
        mode = modeString(0);
    }
    platform::LineSettings line;
    line.baudRate = speedIndex_ == 1 ? 9600 : 4800;
    line.dataBits = 8;
    line.parity = 0;
    line.stopBits = 0;
    line.dtr = platform::DtrControl::Enable;
    line.rts = platform::RtsControl::Handshake;
    platform::SerialTimeouts timeouts;
    timeouts.writeTotalConstant = 1000;
    std::string failure;
    port_ = openAndConfigure(opener_, server_, mode, line, timeouts, server_, failure);
    if (!port_) {
        messages_.error(name(), "%s", failure.c_str());
        time_.sourceFailed();
        return;
    }
    CTimeClient::start();
}

void CGPSClient::stop() {
    // The thread is ended first (its reads wake on the stop event), so the port is never
    // closed under a read in progress.
    CTimeClient::stop();
    port_.reset();
}

}  // namespace refclocks
