#pragma once
#include <cstdint>

namespace platform {

// The failure injectReceiveFailures asked for a receive or accept on local port `port`, if
// any (a WinSock number), else 0. Cheap while nothing is injected.
int takeInjectedFailure(uint16_t port);
// Whether any failure is waiting to be taken, so a backend asks for its port only then.
bool failuresInjected();

}  // namespace platform
