#include "engine/CTimeServer.h"

#include "core/ErrorText.h"
#include "platform/Clock.h"

namespace engine {

CTimeServer::CTimeServer(core::MessageHandler& messages, core::TimeHandler& time, std::string name)
    : core::ThreadObject(messages, time, std::move(name)) {}

CTimeServer::~CTimeServer() {
    stop();
}

void CTimeServer::start() {
    startThread();
}

void CTimeServer::stop() {
    stopThread(kStopPatience);
}

bool CTimeServer::carryOnAfter(const char* what, int error) {
    if (stopping() || stopEvent_.isSet()) {
        return false;
    }
    // A flood of failures is one line, not one per datagram.
    if (failing_ != error) {
        messages_.error(name(), "%s (%s)", what, core::winsockErrorText(error).c_str());
        failing_ = error;
    }
    if (stopEvent_.wait(kFailurePause)) {
        markStopped();
        return false;
    }
    return true;
}

void CTimeServer::noteActivity(int kind) {
    const auto now = platform::processClock().monotonic();
    if (lastNotice_ && now - *lastNotice_ < std::chrono::seconds(1)) {
        return;
    }
    lastNotice_ = now;
    messages_.serverActive(name(), kind);
}

}  // namespace engine
