#include "engine/CTimeServer.h"

namespace engine {

CTimeServer::CTimeServer(MessageHandler& messages, TimeHandler& time, std::string name)
    : ThreadObject(messages, time, std::move(name)) {}

CTimeServer::~CTimeServer() {
    stop();
}

void CTimeServer::start() {
    startThread();
}

void CTimeServer::stop() {
    stopThread(kStopPatience);
}

}  // namespace engine
