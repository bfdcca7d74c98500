#include "platform/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "posix/PollWait.h"
#include "posix/SerialSpeed.h"

namespace platform {

namespace {

Status failed(int error) {
    setLastSystemError(error);
    return Status::failure(error);
}

speed_t speedFor(int baud) {
    switch (baud) {
        case 50:
            return B50;
        case 75:
            return B75;
        case 110:
            return B110;
        case 150:
            return B150;
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

// The milliseconds a wait may still take; -1 for no limit.
int remaining(std::chrono::steady_clock::time_point end, bool limited) {
    if (!limited) {
        return -1;
    }
    const auto left = std::chrono::ceil<Millis>(end - std::chrono::steady_clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

class PosixSerialPort : public SerialPort {
public:
    explicit PosixSerialPort(int fd) : fd_(fd) {}
    ~PosixSerialPort() override { ::close(fd_); }

    Status setQueues(uint32_t, uint32_t) override { return Status::success(); }

    Status purge() override {
        return ::tcflush(fd_, TCIOFLUSH) == 0 ? Status::success() : failed(errno);
    }

    Status configure(const std::string&, const LineSettings& line) override {
        // The line fields overwrite everything the mode string could set, so only they count.
        termios t{};
        if (::tcgetattr(fd_, &t) != 0) {
            return failed(errno);
        }
        ::cfmakeraw(&t);
        // A speed termios has no constant for is set after the rest, so the line is raw
        // whether or not the driver takes that speed.
        const speed_t speed = speedFor(line.baudRate);
        if (speed != B0) {
            ::cfsetispeed(&t, speed);
            ::cfsetospeed(&t, speed);
        }
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        t.c_cflag |= CREAD | CLOCAL;
        switch (line.dataBits) {
            case 5:
                t.c_cflag |= CS5;
                break;
            case 6:
                t.c_cflag |= CS6;
                break;
            case 7:
                t.c_cflag |= CS7;
                break;
            default:
                t.c_cflag |= CS8;
                break;
        }
        if (line.parity == 1 || line.parity == 2) {
            t.c_cflag |= PARENB | (line.parity == 1 ? PARODD : 0);
            t.c_iflag |= INPCK;
        }
        if (line.stopBits != 0) {
            t.c_cflag |= CSTOPB;
        }
        // Transmit continues after XOFF: no software flow control at all. RTS handshake
        // would also make CRTSCTS hold output on CTS, which a GPS receiver rarely drives,
        // so RTS is held on instead.
        t.c_iflag &= ~(IXON | IXOFF | IXANY);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
            return failed(errno);
        }
        (void)setLine(TIOCM_DTR, line.dtr != DtrControl::Disable);
        (void)setLine(TIOCM_RTS, line.rts != RtsControl::Disable);
        if (speed == B0) {
            const int error = line.baudRate > 0 ? setOtherSpeed(fd_, line.baudRate) : EINVAL;
            if (error != 0) {
                return failed(error);
            }
        }
        return Status::success();
    }

    Status setTimeouts(const SerialTimeouts& timeouts) override {
        timeouts_ = timeouts;
        return Status::success();
    }

    SerialIo read(void* buffer, size_t size, Event* stop) override {
        SerialIo io;
        const uint64_t total =
            uint64_t(timeouts_.readTotalMultiplier) * size + timeouts_.readTotalConstant;
        const bool limited = total != 0;
        const auto end = std::chrono::steady_clock::now() + Millis(total);
        auto* bytes = static_cast<unsigned char*>(buffer);
        while (static_cast<size_t>(io.count) < size) {
            int wait = remaining(end, limited);
            if (io.count > 0 && timeouts_.readInterval != 0) {
                const int gap = static_cast<int>(timeouts_.readInterval);
                wait = wait < 0 || gap < wait ? gap : wait;
            }
            const int ready = waitFor(POLLIN, wait, stop, io);
            if (ready <= 0) {
                break;
            }
            const ssize_t got = ::read(fd_, bytes + io.count, size - io.count);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (got < 0 && errno != EIO) {
                io.error = errno;
                break;
            }
            if (got <= 0) {
                // A pseudo-terminal whose other side has gone reads as end of file or EIO; wait
                // as a silent line would rather than spin.
                if (waitFor(0, wait < 0 || wait > 50 ? 50 : wait, stop, io) < 0) {
                    break;
                }
                continue;
            }
            io.count += got;
        }
        if (io.error != 0) {
            setLastSystemError(io.error);
        }
        return io;
    }

    SerialIo write(const void* data, size_t size, Event* stop) override {
        SerialIo io;
        const uint64_t total =
            uint64_t(timeouts_.writeTotalMultiplier) * size + timeouts_.writeTotalConstant;
        const bool limited = total != 0;
        const auto end = std::chrono::steady_clock::now() + Millis(total);
        const auto* bytes = static_cast<const unsigned char*>(data);
        while (static_cast<size_t>(io.count) < size) {
            if (waitFor(POLLOUT, remaining(end, limited), stop, io) <= 0) {
                break;
            }
            const ssize_t put = ::write(fd_, bytes + io.count, size - io.count);
            if (put < 0) {
                if (errno == EINTR || errno == EAGAIN) {
                    continue;
                }
                io.error = errno;
                break;
            }
            io.count += put;
        }
        if (io.error != 0) {
            setLastSystemError(io.error);
        }
        return io;
    }

    Status setRts(bool on) override { return setLine(TIOCM_RTS, on); }

    // Modem-line changes are found by polling the status word, so the mask has no use here.
    Status setEventMask(uint32_t) override { return Status::success(); }

    Status modemStatus(uint32_t& bits) override {
        int lines = 0;
        if (::ioctl(fd_, TIOCMGET, &lines) != 0) {
            return failed(errno);
        }
        bits =
            ((lines & TIOCM_CTS) ? modem::kCtsOn : 0) | ((lines & TIOCM_DSR) ? modem::kDsrOn : 0) |
            ((lines & TIOCM_RNG) ? modem::kRingOn : 0) | ((lines & TIOCM_CAR) ? modem::kRlsdOn : 0);
        return Status::success();
    }

private:
    Status setLine(int line, bool on) {
        return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0 ? Status::success()
                                                                  : failed(errno);
    }

    // poll() on the port and the stop event: 1 when the port is ready, 0 on time-out, -1
    // when stopped or failed (recorded in `io`). `events` 0 only sleeps.
    int waitFor(short events, int timeoutMs, Event* stop, SerialIo& io) {
        for (;;) {
            pollfd fds[2] = {{fd_, events, 0}, {stop ? stop->waitHandle() : -1, POLLIN, 0}};
            const int n = ::poll(fds, 2, timeoutMs);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                io.error = errno;
                return -1;
            }
            if (fds[1].revents & POLLIN) {
                io.stopped = true;
                return -1;
            }
            if (n == 0 || events == 0) {
                return 0;
            }
            if (fds[0].revents & (POLLERR | POLLNVAL)) {
                io.error = EIO;
                return -1;
            }
            // POLLHUP alone: the other side of a pseudo-terminal is closed; read says so.
            return 1;
        }
    }

    int fd_;
    SerialTimeouts timeouts_{};
};

}  // namespace

std::unique_ptr<SerialPort> SerialPort::open(const std::string& name, Status& status) {
    const std::string path = serialDevicePath(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        status = failed(errno);
        return nullptr;
    }
    // No sharing, as CreateFile with share mode 0: a second opener is refused.
    if (!::isatty(fd) || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        const int error = ::isatty(fd) ? (errno == EWOULDBLOCK ? EBUSY : errno) : ENOTTY;
        ::close(fd);
        status = failed(error);
        return nullptr;
    }
    status = Status::success();
    return std::make_unique<PosixSerialPort>(fd);
}

}  // namespace platform
