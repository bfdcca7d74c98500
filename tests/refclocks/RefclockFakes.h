#pragma once
// What the receiver tests hand a client: a time handler that records its calls
// (testsupport::RecordingTime, on a simulated clock of its own), and a serial port that plays
// bytes the test queues and shows a carrier-detect line the test sets.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "core/Handlers.h"
#include "core/TimeValue.h"
#include "platform/SerialPort.h"
#include "platform/SimulatedClock.h"
#include "support/RecordingTime.h"

namespace refclocktest {

using Steady = std::chrono::steady_clock;

using testsupport::RecordingTime;
using Report = testsupport::RecordingTime::Report;

// A port whose received bytes the test queues. After each asterisk (the end of a sentence as
// the client collects it) the carrier-detect line changes `pulseDelay` later (never, when
// negative).
class ScriptedPort : public platform::SerialPort {
public:
    struct Shared {
        std::mutex mutex;
        std::deque<unsigned char> incoming;
        std::string written;
        Steady::time_point writtenAt{};
        int writes = 0;
        std::chrono::milliseconds pulseDelay{-1};
        Steady::time_point pulseAt = Steady::time_point::max();
        bool carrier = false;
        bool modemFails = false;
        int configureError = 0;
        std::string mode;
        platform::LineSettings line;

        void send(const std::string& bytes) {
            std::lock_guard<std::mutex> lock(mutex);
            incoming.insert(incoming.end(), bytes.begin(), bytes.end());
        }
        bool drained() {
            std::lock_guard<std::mutex> lock(mutex);
            return incoming.empty();
        }
    };

    explicit ScriptedPort(Shared& shared) : shared_(shared) {}

    platform::Status setQueues(uint32_t, uint32_t) override { return {}; }
    platform::Status purge() override { return {}; }
    platform::Status configure(const std::string& mode,
                               const platform::LineSettings& line) override {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        shared_.mode = mode;
        shared_.line = line;
        return platform::Status::failure(shared_.configureError);
    }
    platform::Status setTimeouts(const platform::SerialTimeouts&) override { return {}; }

    platform::SerialIo read(void* buffer, size_t size, platform::Event* stop) override {
        platform::SerialIo io;
        auto* bytes = static_cast<unsigned char*>(buffer);
        while (static_cast<size_t>(io.count) < size) {
            {
                std::lock_guard<std::mutex> lock(shared_.mutex);
                if (!shared_.incoming.empty()) {
                    const unsigned char b = shared_.incoming.front();
                    shared_.incoming.pop_front();
                    bytes[io.count++] = b;
                    if (b == '*' && shared_.pulseDelay.count() >= 0) {
                        shared_.pulseAt = Steady::now() + shared_.pulseDelay;
                    }
                    continue;
                }
            }
            if (stop->wait(std::chrono::milliseconds(2))) {
                io.stopped = true;
                break;
            }
            if (io.count == 0) {
                break;  // nothing queued: an empty read, as after a time-out
            }
        }
        return io;
    }
    platform::SerialIo write(const void* data, size_t size, platform::Event*) override {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        shared_.written.append(static_cast<const char*>(data), size);
        shared_.writtenAt = Steady::now();
        ++shared_.writes;
        return {static_cast<long>(size), 0, false};
    }
    platform::Status setRts(bool) override { return {}; }
    platform::Status setEventMask(uint32_t) override { return {}; }
    platform::Status modemStatus(uint32_t& bits) override {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        if (shared_.modemFails) {
            return platform::Status::failure(5);
        }
        if (Steady::now() >= shared_.pulseAt) {
            shared_.carrier = !shared_.carrier;
            shared_.pulseAt = Steady::time_point::max();
        }
        bits = shared_.carrier ? platform::modem::kRlsdOn : 0;
        return {};
    }

private:
    Shared& shared_;
};

}  // namespace refclocktest
