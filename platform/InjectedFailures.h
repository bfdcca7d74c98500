#pragma once

namespace platform {

class Socket;

// The failure injectReceiveFailures asked for a receive or accept on `socket`'s local port, if
// any (a WinSock number, also made the thread's last socket error), else 0. Cheap while
// nothing is injected.
int takeInjectedFailure(const Socket& socket);

}  // namespace platform
