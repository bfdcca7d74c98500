#include "PtyPair.h"

#include <cstdio>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

namespace testsupport {

PtyPair::PtyPair() {
    const std::vector<std::string> arguments = {"-d", "-d", "pty,raw,echo=0,link=" + feederEnd(),
                                                "pty,raw,echo=0,link=" + receiverEnd()};
    if (!socat_.start("/usr/bin/socat", arguments).ok()) {
        return;
    }
    // socat makes the links, then reports that it transfers data.
    ready_ = eventually(
        [&] {
            return fs::exists(feederEnd()) && fs::exists(receiverEnd()) &&
                   socat_.errors().find("starting data transfer loop") != std::string::npos;
        },
        std::chrono::seconds(10));
}

namespace {

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, ',')) {
        out.push_back(field);
    }
    return out;
}

// Days since 1970-01-01 of a Gregorian date (H. Hinnant's days_from_civil).
long long daysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int number(const std::string& text, size_t at, size_t length) {
    return text.size() >= at + length ? std::atoi(text.substr(at, length).c_str()) : -1;
}

}  // namespace

std::vector<CaptureSecond> loadCapture(const std::string& path) {
    // First the date, which the capture may give only after its first seconds.
    const std::string text = readFile(path);
    int year = 0, month = 0, day = 0;
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        lines.push_back(line + "\n");
        const std::vector<std::string> f = fields(line);
        if (year == 0 && line.size() > 6 && line.compare(3, 3, "RMC") == 0 && f.size() > 9 &&
            f[9].size() == 6) {
            day = number(f[9], 0, 2);
            month = number(f[9], 2, 2);
            year = 2000 + number(f[9], 4, 2);
        } else if (year == 0 && line.size() > 6 && line.compare(3, 3, "ZDA") == 0 && f.size() > 4) {
            day = std::atoi(f[2].c_str());
            month = std::atoi(f[3].c_str());
            year = std::atoi(f[4].c_str());
        }
    }
    const double midnight =
        static_cast<double>(daysFromCivil(year, month, day)) * 86400.0 + kNtpUnixOffset;

    std::vector<CaptureSecond> seconds;
    for (const std::string& line : lines) {
        const std::vector<std::string> f = fields(line);
        const bool timed = line.size() > 6 &&
                           (line.compare(3, 3, "RMC") == 0 || line.compare(3, 3, "ZDA") == 0 ||
                            line.compare(3, 3, "GGA") == 0) &&
                           f.size() > 1 && f[1].size() >= 6;
        if (timed) {
            const double time = midnight + number(f[1], 0, 2) * 3600.0 + number(f[1], 2, 2) * 60.0 +
                                number(f[1], 4, 2);
            if (seconds.empty() || seconds.back().time != time) {
                seconds.push_back({time, ""});
            }
        }
        if (seconds.empty()) {
            seconds.push_back({0, ""});  // lines before the first time: sent with it
        }
        seconds.back().bytes += line;
    }
    if (seconds.size() > 1 && seconds[0].time == 0) {
        seconds[1].bytes = seconds[0].bytes + seconds[1].bytes;
        seconds.erase(seconds.begin());
    }
    return seconds;
}

struct CaptureReplay::State {
    mutable std::mutex mutex;
    double lastTime = 0;
    std::chrono::steady_clock::time_point lastAt{};
    bool finished = false;
    platform::Event stop{true};
};

CaptureReplay::CaptureReplay(const std::string& feederEnd, std::vector<CaptureSecond> seconds)
    : state_(std::make_shared<State>()) {
    platform::Status status;
    port_ = platform::SerialPort::open(feederEnd, status);
    if (!port_) {
        return;
    }
    platform::SerialPort* port = port_.get();
    auto state = state_;
    thread_ = std::make_unique<std::thread>([port, state, seconds = std::move(seconds)] {
        auto next = std::chrono::steady_clock::now();
        for (size_t i = 0; i < seconds.size(); ++i) {
            if (i > 0) {
                const double gap = seconds[i].time - seconds[i - 1].time;
                next += std::chrono::milliseconds(gap < 0    ? 0
                                                  : gap > 10 ? 10000
                                                             : long(gap * 1000));
            }
            if (state->stop.wait(std::chrono::ceil<std::chrono::milliseconds>(
                    next - std::chrono::steady_clock::now()))) {
                break;
            }
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->lastTime = seconds[i].time;
                state->lastAt = std::chrono::steady_clock::now();
            }
            (void)port->write(seconds[i].bytes.data(), seconds[i].bytes.size(), &state->stop);
        }
        std::lock_guard<std::mutex> lock(state->mutex);
        state->finished = true;
    });
}

CaptureReplay::~CaptureReplay() {
    state_->stop.set();
    if (thread_) {
        thread_->join();
    }
}

bool CaptureReplay::finished() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->finished;
}

double CaptureReplay::captureTimeAt(std::chrono::steady_clock::time_point at) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->lastTime == 0) {
        return 0;
    }
    return state_->lastTime + std::chrono::duration<double>(at - state_->lastAt).count();
}

}  // namespace testsupport
