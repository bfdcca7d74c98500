#pragma once

namespace platform {

// Sets a line speed that has no Bnnn constant (IRIG-B's 1000 baud) through termios2 and
// BOTHER; the other line settings stay as they are. 0, or the errno of the failed call.
int setOtherSpeed(int fd, int baud);

}  // namespace platform
