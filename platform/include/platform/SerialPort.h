#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Event.h"
#include "platform/Result.h"

namespace platform {

// The time-outs of a serial read or write, in milliseconds, as COMMTIMEOUTS holds them. A
// read returns when the buffer is full, when the gap between two bytes exceeds the interval
// (if not 0), or when multiplier × size + constant has passed (if not both 0); with all of
// them 0 a read waits for the bytes asked. Every wait also ends on the stop event.
struct SerialTimeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;
};

enum class DtrControl { Disable, Enable, Handshake };
enum class RtsControl { Disable, Enable, Handshake, Toggle };

// Line settings as the DCB holds them: parity 0 none, 1 odd, 2 even; stop bits 0 one,
// 1 one and a half, 2 two.
struct LineSettings {
    int baudRate = 9600;
    int dataBits = 8;
    int parity = 0;
    int stopBits = 0;
    DtrControl dtr = DtrControl::Enable;
    RtsControl rts = RtsControl::Enable;
};

// Bits of the modem-status word (GetCommModemStatus) and of the event mask (SetCommMask).
namespace modem {
inline constexpr uint32_t kCtsOn = 0x10;
inline constexpr uint32_t kDsrOn = 0x20;
inline constexpr uint32_t kRingOn = 0x40;
inline constexpr uint32_t kRlsdOn = 0x80;  // carrier detect
inline constexpr uint32_t kEventCts = 0x08;
inline constexpr uint32_t kEventDsr = 0x10;
inline constexpr uint32_t kEventRlsd = 0x20;
}  // namespace modem

struct [[nodiscard]] SerialIo {
    long count = 0;        // bytes moved
    int error = 0;         // system error number
    bool stopped = false;  // the stop event ended the wait
    bool ok() const { return error == 0 && !stopped; }
};

enum class ModemWait { Changed, TimedOut, Stopped, Failed };

// One serial port, opened exclusively. Only the thread that reads it calls it, except
// through the stop event it is given.
class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Opens "\\.\COMn", "COMn" or a device path. On POSIX COMn maps through
    // KRONEL_DEVICE_MAP, else to /dev/ttyS<n-1>; a path is used as it stands. nullptr and
    // the error number in `status` on failure.
    static std::unique_ptr<SerialPort> open(const std::string& name, Status& status);

    virtual Status setQueues(uint32_t inBytes, uint32_t outBytes) = 0;
    // Drops whatever is queued in both directions and aborts transfers in progress.
    virtual Status purge() = 0;
    // The mode string as BuildCommDCB reads it ("baud=4800 parity=N data=8 stop=1"), then
    // binary mode, parity checking and transmit-after-XOFF forced on, then `line`.
    virtual Status configure(const std::string& mode, const LineSettings& line) = 0;
    virtual Status setTimeouts(const SerialTimeouts& timeouts) = 0;
    virtual SerialIo read(void* buffer, size_t size, Event* stop) = 0;
    virtual SerialIo write(const void* data, size_t size, Event* stop) = 0;
    virtual Status setRts(bool on) = 0;
    virtual Status setEventMask(uint32_t mask) = 0;
    virtual Status modemStatus(uint32_t& bits) = 0;

    // Reads the modem-status word every millisecond until it differs from `reference`, a
    // read fails, `timeout` passes or `stop` is set.
    ModemWait waitForModemChange(uint32_t reference, Millis timeout, Event* stop);
};

// What COMn stands for on this system (POSIX: the device map or /dev/ttyS<n-1>; Windows:
// "\\.\COMn"). A name that is not COMn is returned unchanged, less a "\\.\" prefix on POSIX.
std::string serialDevicePath(const std::string& name);
// Replaces the COM-port map ("COM1=/dev/pts/5,COM2=/dev/ttyUSB0"); used by tests.
void setSerialDeviceMap(const std::string& map);

}  // namespace platform
