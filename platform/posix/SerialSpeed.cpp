// Kept apart from SerialPort.cpp: <asm/termbits.h> redefines what <termios.h> declares.
#include "posix/SerialSpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace platform {

int setOtherSpeed(int fd, int baud) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        return errno;
    }
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = static_cast<speed_t>(baud);
    t.c_ospeed = static_cast<speed_t>(baud);
    if (::ioctl(fd, TCSETS2, &t) != 0) {
        return errno;
    }
    return 0;
}

}  // namespace platform
