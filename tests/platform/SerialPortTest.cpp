// Serial ports: how COM names map to devices, and (POSIX, through a socat pseudo-terminal
// pair) exclusive opening, the read time-outs and the stop event.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/SerialPort.h"

#ifndef _WIN32
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
