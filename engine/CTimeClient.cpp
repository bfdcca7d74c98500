#include "engine/CTimeClient.h"

#include <algorithm>
#include <climits>
#include <mutex>

#include "core/Format.h"
#include "engine/DialupGate.h"
#include "platform/Seams.h"

namespace engine {

namespace {

struct PollAdaptation {
    std::mutex mutex;
    bool lastGood = false;
    int step = 0;
};

PollAdaptation& adaptation() {
    static PollAdaptation state;
    return state;
}

constexpr int kMinimumPollMinutes = 10;
constexpr int kLargestPollStep = 10;
constexpr long long kMinuteMs = 60000;

void appendPart(std::string& text, int count, const char* unit, bool trailingBlank) {
    if (count != 0) {
        text +=
            core::format("%d %s%s%s", count, unit, core::plural(count), trailingBlank ? " " : "");
    }
}

}  // namespace

CTimeClient::CTimeClient(core::MessageHandler& messages, core::TimeHandler& time,
                         std::string serverAddress, int pollMinutes, std::string sourceName)
    : core::ThreadObject(messages, time, std::move(sourceName)),
      server_(std::move(serverAddress)),
      pollMinutes_(pollMinutes) {}

CTimeClient::~CTimeClient() {
    stop();
}

void CTimeClient::start() {
    startThread();
}

void CTimeClient::stop() {
    stopThread(kStopPatience);
}

int CTimeClient::adaptPoll(bool good) {
    auto& state = adaptation();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.step = (good == state.lastGood) ? state.step * 2 : 1;
    if (state.step < 1) {
        state.step = 1;
    }
    if (state.step > kLargestPollStep) {
        state.step = kLargestPollStep;
    }
    state.lastGood = good;
    // In 64 bits, held at the largest integer: an interval near it must not wrap round.
    const long long interval =
        static_cast<long long>(pollMinutes_.load()) + (good ? state.step : -state.step);
    const int adapted =
        static_cast<int>(std::clamp<long long>(interval, kMinimumPollMinutes, INT_MAX));
    pollMinutes_.store(adapted);
    return adapted;
}

void CTimeClient::resetPollAdaptation() {
    auto& state = adaptation();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.lastGood = false;
    state.step = 0;
}

std::string CTimeClient::waitingText(int minutesLeft) {
    std::string text = "Waiting for ";
    appendPart(text, minutesLeft / 10080, "week", true);
    appendPart(text, minutesLeft % 10080 / 1440, "day", true);
    appendPart(text, minutesLeft % 1440 / 60, "hour", true);
    appendPart(text, minutesLeft % 60, "minute", false);
    return text;
}

bool CTimeClient::pause(platform::Millis ms) {
    if (stopEvent_.wait(ms)) {
        markStopped();
        return false;
    }
    return !stopping();
}

bool CTimeClient::waitForNextPoll() {
    const int minutes = pollMinutes_.load();
    if (minutes <= 0) {
        markStopped();
        return false;
    }
    for (int i = 0; i < minutes; ++i) {
        if (i > 0) {
            messages_.status(name(), "%s", waitingText(minutes - i).c_str());
        }
        if (!pause(platform::scheduleWait(kMinuteMs))) {
            return false;
        }
    }
    return true;
}

CNetTimeClient::CNetTimeClient(core::MessageHandler& messages, core::TimeHandler& time,
                               std::string serverAddress, int pollMinutes, std::string sourceName,
                               DialupGate* dialup, platform::Millis replyTimeout)
    : CTimeClient(messages, time, std::move(serverAddress), pollMinutes, std::move(sourceName)),
      dialup_(dialup),
      replyTimeoutMs_(replyTimeout.count()) {}

CNetTimeClient::~CNetTimeClient() = default;

bool CNetTimeClient::beginPolling() {
    if (server_.empty()) {
        return false;
    }
    signalStarted();
    messages_.debug(name(), "started");
    return true;
}

void CNetTimeClient::run() {
    if (!beginPolling()) {
        return;
    }
    while (!stopping()) {
        if (dialup_ != nullptr && !dialup_->passes()) {
            messages_.status(name(), "No active dialup connection");
            if (!pause(platform::scheduleWait(kDialupRetryMs))) {
                break;
            }
            continue;
        }
        const Outcome outcome = measure();
        if (outcome == Outcome::Stopped || outcome == Outcome::Fatal) {
            break;
        }
        if (outcome == Outcome::NoReply && !waitForNextPoll()) {
            break;
        }
        if (!waitForNextPoll()) {
            break;
        }
    }
}

}  // namespace engine
