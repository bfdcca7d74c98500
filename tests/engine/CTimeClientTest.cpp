#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>

#include <atomic>
#include <mutex>
#include <vector>

#include "engine/CTimeClient.h"
#include "engine/CTimeServer.h"
#include "platform/Seams.h"
#include "platform/Socket.h"
#include "support/RecordingMessages.h"

using namespace engine;
using namespace core;
using ::testing::Contains;
using ::testing::Pair;

namespace {

using testsupport::RecordingMessages;

// "source text" lines of every message, for matching with their level.
std::vector<std::pair<MessageLevel, std::string>> lines(const RecordingMessages& m) {
    std::vector<std::pair<MessageLevel, std::string>> out;
    for (const auto& message : m.messages()) {
        out.emplace_back(message.level, message.source + " " + message.text);
    }
    return out;
}

class NullTime : public TimeHandler {
public:
    void setTime(double) override {}
    void sourceFailed() override {}
    int pollExponent() override { return 4; }
    ReferenceId referenceId() override { return referenceIdFromText("LOCL"); }
    void setReferenceId(const ReferenceId&) override {}
    void setSharedText(const std::string&) override {}
    std::string sharedText() override { return {}; }
    double now() override { return 0; }
    bool synchronised() override { return true; }
    void clearSynchronised() override {}
};

// Blocks in a receive that only the stop event can end.
class BlockedClient : public CTimeClient {
public:
    BlockedClient(MessageHandler& m, TimeHandler& t)
        : CTimeClient(m, t, "127.0.0.1", 1, "Blocked") {}
    ~BlockedClient() override { stop(); }
    void run() override {
        signalStarted();
        platform::Socket s;
        if (!s.open(platform::Socket::Type::Udp).ok() ||
            !s.bind({*platform::parseDottedIPv4("127.0.0.1"), 0}).ok()) {
            return;
        }
        char buffer[48];
        result =
            s.receiveFrom(buffer, sizeof buffer, nullptr, platform::kInfinite, &stopEvent_).error;
    }
    std::atomic<int> result{0};
};

// Counts its polls; never signals that it started.
class PollingClient : public CTimeClient {
public:
    PollingClient(MessageHandler& m, TimeHandler& t, int minutes, bool signal)
        : CTimeClient(m, t, "x", minutes, "Polling"), signal_(signal) {}
    ~PollingClient() override { stop(); }
    void run() override {
        if (signal_) {
            signalStarted();
        }
        do {
            ++polls;
        } while (waitForNextPoll());
    }
    std::atomic<int> polls{0};

private:
    bool signal_;
};

class IdleServer : public CTimeServer {
public:
    IdleServer(MessageHandler& m, TimeHandler& t) : CTimeServer(m, t, "Idle Server") {}
    ~IdleServer() override { stop(); }
    void run() override {
        signalStarted();
        stopEvent_.wait();
    }
};

}  // namespace

TEST(CTimeClient, WaitingTextNamesTheNonZeroParts) {
    EXPECT_EQ(CTimeClient::waitingText(10081), "Waiting for 1 week 1 minute");
    EXPECT_EQ(CTimeClient::waitingText(60), "Waiting for 1 hour ");
    EXPECT_EQ(CTimeClient::waitingText(2 * 10080 + 3 * 1440 + 2 * 60 + 59),
              "Waiting for 2 weeks 3 days 2 hours 59 minutes");
    EXPECT_EQ(CTimeClient::waitingText(1441), "Waiting for 1 day 1 minute");
    EXPECT_EQ(CTimeClient::waitingText(1), "Waiting for 1 minute");
}

TEST(CTimeClient, PollAdaptationDoublesItsStepAndKeepsAFloor) {
    RecordingMessages m;
    NullTime t;
    CTimeClient::resetPollAdaptation();
    PollingClient c(m, t, 120, true);
    EXPECT_EQ(c.adaptPoll(true), 121);
    EXPECT_EQ(c.adaptPoll(true), 123);
    EXPECT_EQ(c.adaptPoll(true), 127);
    EXPECT_EQ(c.adaptPoll(false), 126);
    EXPECT_EQ(c.adaptPoll(false), 124);
    EXPECT_EQ(c.adaptPoll(false), 120);
    EXPECT_EQ(c.adaptPoll(false), 112);
    EXPECT_EQ(c.adaptPoll(false), 102);  // the step stops growing at 10
    int last = 0;
    for (int i = 0; i < 20; ++i) {
        last = c.adaptPoll(false);
        EXPECT_GE(last, 10);
    }
    EXPECT_EQ(last, 10);
    EXPECT_EQ(c.pollMinutes(), 10);
}

TEST(CTimeClient, PollAdaptationStaysWithinTheIntegersAtTheirEnds) {
    RecordingMessages m;
    NullTime t;
    CTimeClient::resetPollAdaptation();
    PollingClient top(m, t, INT_MAX - 2, true);
    EXPECT_EQ(top.adaptPoll(true), INT_MAX - 1);
    EXPECT_EQ(top.adaptPoll(true), INT_MAX);
    EXPECT_EQ(top.adaptPoll(true), INT_MAX);
    PollingClient bottom(m, t, INT_MIN, true);
    EXPECT_EQ(bottom.adaptPoll(false), 10);
}

TEST(CTimeClient, PollAdaptationStateIsSharedByEveryClient) {
    RecordingMessages m;
    NullTime t;
    CTimeClient::resetPollAdaptation();
    PollingClient first(m, t, 60, true);
    PollingClient second(m, t, 60, true);
    EXPECT_EQ(first.adaptPoll(true), 61);
    EXPECT_EQ(second.adaptPoll(true), 62);  // step 2: the previous good came from `first`
}

TEST(CTimeClient, StopEndsAThreadBlockedInAReceive) {
    RecordingMessages m;
    NullTime t;
    BlockedClient c(m, t);
    c.start();
    c.stop();
    EXPECT_FALSE(c.running());
    EXPECT_EQ(c.result.load(), platform::wsa::kInterrupted);
    EXPECT_THAT(lines(m), Contains(Pair(MessageLevel::Debug, "Blocked Stopping")));
}

TEST(CTimeClient, IntervalZeroRunsOnceAndMarksTheClientStopped) {
    RecordingMessages m;
    NullTime t;
    PollingClient c(m, t, 0, true);
    c.start();
    c.stop();
    EXPECT_EQ(c.polls.load(), 1);
    EXPECT_TRUE(c.stopping());
}

TEST(CTimeClient, PollWaitShowsTheMinutesLeftBeforeEachWaitButTheFirst) {
    RecordingMessages m;
    NullTime t;
    platform::setTimeScale(60000.0);  // a minute becomes a millisecond
    {
        PollingClient c(m, t, 3, true);
        c.start();
        while (c.polls.load() < 2) {
            platform::sleepFor(platform::Millis(1));
        }
        c.stop();
    }
    platform::setTimeScale(1.0);
    std::vector<std::string> statuses;
    for (auto& [level, text] : lines(m)) {
        if (level == MessageLevel::Status) {
            statuses.push_back(text);
        }
    }
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[0], "Polling Waiting for 2 minutes");
    EXPECT_EQ(statuses[1], "Polling Waiting for 1 minute");
}

TEST(CTimeClient, StartReturnsEvenWhenRunNeverSignals) {
    RecordingMessages m;
    NullTime t;
    PollingClient c(m, t, 5, false);
    c.start();
    EXPECT_TRUE(c.running());
    c.stop();
    EXPECT_FALSE(c.running());
}

TEST(CTimeServer, StopEndsTheServerThread) {
    RecordingMessages m;
    NullTime t;
    IdleServer s(m, t);
    s.start();
    EXPECT_TRUE(s.running());
    s.stop();
    EXPECT_FALSE(s.running());
    EXPECT_THAT(lines(m), Contains(Pair(MessageLevel::Debug, "Idle Server Stopping")));
}
