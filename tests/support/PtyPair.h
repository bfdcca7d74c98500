#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/ChildProcess.h"
#include "platform/SerialPort.h"

namespace testsupport {

// Two pseudo-terminals joined by socat: what is written to one is read from the other, as
// a null-modem cable would carry it (bytes only, no modem lines). scripts/setup installs it.
class PtyPair {
public:
    PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ready() const { return ready_; }
    std::string log() const { return socat_.errors(); }
    // The end a client opens, and the end the test writes to.
    std::string receiverEnd() const { return dir_.file("receiver"); }
    std::string feederEnd() const { return dir_.file("feeder"); }

private:
    TempDir dir_{"kronel-pty-"};
    platform::ChildProcess socat_;
    bool ready_ = false;
};

// A receiver capture (lines starting with '#' are comments) cut into one group of
// sentences per second of their time fields, each with its UTC time value.
inline constexpr double kNtpUnixOffset = 2208988800.0;
struct CaptureSecond {
    double time = 0;  // seconds since 1900
    std::string bytes;
};
std::vector<CaptureSecond> loadCapture(const std::string& path);

// Writes a capture to the feeder end at its natural pace (gaps longer than 10 s are cut
// to 10 s) on a thread of its own, and tells which capture time was on the line when.
class CaptureReplay {
public:
    CaptureReplay(const std::string& feederEnd, std::vector<CaptureSecond> seconds);
    ~CaptureReplay();
    CaptureReplay(const CaptureReplay&) = delete;
    CaptureReplay& operator=(const CaptureReplay&) = delete;

    bool opened() const { return port_ != nullptr; }
    bool finished() const;
    // The capture's time at a moment of the replay: the second last written plus the time
    // since; 0 before the first.
    double captureTimeAt(std::chrono::steady_clock::time_point at) const;

private:
    struct State;
    std::unique_ptr<platform::SerialPort> port_;
    std::shared_ptr<State> state_;
    std::unique_ptr<std::thread> thread_;
};

}  // namespace testsupport
