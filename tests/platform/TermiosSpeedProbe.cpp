// The kernel's own report of a line's speed (termios2), apart from the test that uses it:
// <asm/termbits.h> clashes with <termios.h>.
#ifdef __linux__
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace testsupport {

// The output speed the driver holds for `fd` in bits per second; -1 when it cannot be read.
long reportedLineSpeed(int fd) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        return -1;
    }
    return static_cast<long>(t.c_ospeed);
}

}  // namespace testsupport
#endif
