#pragma once
#include <string>

#include "engine/ThreadObject.h"

namespace engine {

// The base of every time server. Concrete classes call stop() in their destructor.
class CTimeServer : public ThreadObject {
public:
    static constexpr platform::Millis kStopPatience{2000};

    CTimeServer(MessageHandler& messages, TimeHandler& time, std::string name);
    ~CTimeServer() override;

    virtual void start();
    virtual void stop();
};

}  // namespace engine
