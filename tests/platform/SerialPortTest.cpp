// Serial ports: how COM names map to devices, and (POSIX, through a socat pseudo-terminal
// pair) exclusive opening, the read time-outs and the stop event.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/SerialPort.h"

#ifndef _WIN32
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "support/PtyPair.h"
#endif

using namespace platform;
using namespace std::chrono_literals;

TEST(SerialPort, ComNamesMapToDevices) {
#ifdef _WIN32
    EXPECT_EQ(serialDevicePath("COM3"), "\\\\.\\COM3");
    EXPECT_EQ(serialDevicePath("\\\\.\\com12"), "\\\\.\\COM12");
#else
    setSerialDeviceMap("");
    EXPECT_EQ(serialDevicePath("COM3"), "/dev/ttyS2");
    EXPECT_EQ(serialDevicePath("\\\\.\\COM1"), "/dev/ttyS0");
    setSerialDeviceMap("COM1=/dev/pts/5,com12=/dev/ttyUSB0");
    EXPECT_EQ(serialDevicePath("\\\\.\\COM12"), "/dev/ttyUSB0");
    EXPECT_EQ(serialDevicePath("COM1"), "/dev/pts/5");
    EXPECT_EQ(serialDevicePath("COM2"), "/dev/ttyS1");
    EXPECT_EQ(serialDevicePath("/dev/ttyACM0"), "/dev/ttyACM0");
    EXPECT_EQ(serialDevicePath("\\\\.\\/dev/ttyACM0"), "/dev/ttyACM0");
    EXPECT_EQ(serialDevicePath("COMX"), "COMX");
    setSerialDeviceMap("");
#endif
    Status status;
    EXPECT_EQ(SerialPort::open("\\\\.\\COM250", status), nullptr);
    EXPECT_FALSE(status.ok());
}

#ifndef _WIN32
TEST(SerialPort, OpensExclusivelyAndReadsWithItsTimeouts) {
    testsupport::PtyPair pty;
    ASSERT_TRUE(pty.ready()) << pty.log();
    Status status;
    auto receiver = SerialPort::open(pty.receiverEnd(), status);
    ASSERT_NE(receiver, nullptr) << status.error;
    EXPECT_EQ(SerialPort::open(pty.receiverEnd(), status), nullptr);
    EXPECT_FALSE(status.ok());
    auto feeder = SerialPort::open(pty.feederEnd(), status);
    ASSERT_NE(feeder, nullptr);

    LineSettings line;
    line.baudRate = 4800;
    EXPECT_TRUE(receiver->configure("baud=4800 parity=N data=8 stop=1", line).ok());
    SerialTimeouts timeouts;
    timeouts.readTotalConstant = 200;
    ASSERT_TRUE(receiver->setTimeouts(timeouts).ok());
    Event stop(true);

    // Nothing on the line: the read returns empty after its time-out.
    char buffer[16] = {};
    const auto before = std::chrono::steady_clock::now();
    SerialIo io = receiver->read(buffer, sizeof buffer, &stop);
    EXPECT_TRUE(io.ok());
    EXPECT_EQ(io.count, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 190ms);

    // Fewer bytes than asked come back at the time-out; all of them when they are there.
    ASSERT_EQ(feeder->write("$GPZDA", 6, &stop).count, 6);
    io = receiver->read(buffer, sizeof buffer, &stop);
    EXPECT_EQ(std::string(buffer, io.count), "$GPZDA");
    ASSERT_EQ(feeder->write("abc", 3, &stop).count, 3);
    io = receiver->read(buffer, 3, &stop);
    EXPECT_EQ(std::string(buffer, io.count), "abc");

    // With no time-outs a read waits for its bytes, or for the stop event.
    ASSERT_TRUE(receiver->setTimeouts(SerialTimeouts{}).ok());
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        stop.set();
    });
    io = receiver->read(buffer, 1, &stop);
    stopper.join();
    EXPECT_TRUE(io.stopped);
    EXPECT_EQ(io.count, 0);

    // A pseudo-terminal carries no modem lines.
    uint32_t bits = 0;
    EXPECT_FALSE(receiver->modemStatus(bits).ok());
}
#endif

#ifdef __linux__
namespace testsupport {
long reportedLineSpeed(int fd);
}

// A terminal as the kernel makes it (canonical, echoing, output processed), not socat's raw
// pseudo-terminal: configure must make it raw at a standard speed and at IRIG-B's 1000 baud,
// which termios has no constant for.
TEST(SerialPort, ConfigureMakesACookedLineRawAtAnySpeed) {
    for (const int baud : {9600, 1000}) {
        SCOPED_TRACE(baud);
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        const std::string device = ::ptsname(master);
        // Opened before the port, which shuts out later openers.
        const int line = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(line, 0);
        Status status;
        auto port = SerialPort::open(device, status);
        ASSERT_NE(port, nullptr) << status.error;
        termios before{};
        ASSERT_EQ(::tcgetattr(line, &before), 0);
        ASSERT_NE(before.c_lflag & ICANON, 0u);
        ASSERT_NE(before.c_lflag & ECHO, 0u);

        LineSettings settings;
        settings.baudRate = baud;
        const Status configured = port->configure("baud=9600 parity=N data=8 stop=1", settings);
        termios after{};
        ASSERT_EQ(::tcgetattr(line, &after), 0);
        EXPECT_EQ(after.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(after.c_oflag & OPOST, 0u);
        // Where the driver refuses the speed, configure says so; where it takes it, the
        // kernel reports it.
        const long reported = testsupport::reportedLineSpeed(line);
        if (baud == 9600) {
            EXPECT_TRUE(configured.ok()) << configured.error;
        }
        if (configured.ok()) {
            EXPECT_EQ(reported, baud);
        } else {
            EXPECT_NE(reported, baud);
        }
        ::close(line);
        ::close(master);
    }
}
#endif
