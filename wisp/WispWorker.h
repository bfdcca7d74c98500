#pragma once
#include <string>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "wisp/Text.h"

namespace wisp {

// The work of wispsvc, in the service or on the console: the "server" setting chooses the
// sender or the listener, which runs on a thread of its own until the stop event is set.
class WispWorker {
public:
    // `verbose`: a line for every datagram, for debug runs.
    WispWorker(Console& console, platform::Clock& clock, std::string iniPath, bool verbose);

    // Returns once `stop` is set and the thread has ended.
    void run(platform::Event& stop);

private:
    Console& console_;
    platform::Clock& clock_;
    std::string iniPath_;
    bool verbose_;
};

}  // namespace wisp
