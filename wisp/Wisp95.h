#pragma once
#include "platform/Clock.h"
#include "platform/Event.h"
#include "wisp/Text.h"

namespace wisp {

inline constexpr const char* kWisp95Name = "Wisp95";

// wisp95: the listener of wispsvc for a user's session, without a service and without
// answering requests, woken by its message loop.
class Wisp95 {
public:
    Wisp95(Console& console, platform::Clock& clock);

    // "--register" and "--unregister": the entry that starts the program at log-in.
    bool registerStartup();
    bool unregisterStartup();
    // Listens until `stop` is set; false when the socket could not be set up.
    bool run(platform::Event& stop);

private:
    Console& console_;
    platform::Clock& clock_;
};

}  // namespace wisp
