#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ScriptedSmtpServer.h"
#include "alerts/AlertTimeouts.h"
#include "alerts/CWatchDog.h"
#include "engine/CReg.h"
#include "platform/Seams.h"
#include "support/RecordingMessages.h"
#include "support/RecordingTime.h"
#include "support/TestSupport.h"

using alerts::CWatchDog;
using core::MessageLevel;
using testsupport::eventually;
using testsupport::RecordingTime;
using namespace std::chrono_literals;

namespace {

// A box that records its texts and, when asked, stays up until released or cancelled.
class RecordingBox : public alerts::AlertBox {
public:
    RecordingBox(std::vector<std::string>& shown, std::mutex& mutex, platform::Event* release)
        : shown_(shown), mutex_(mutex), release_(release) {}
    void show(const std::string& text) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shown_.push_back(text);
        }
        if (release_ != nullptr) {
            release_->wait();
        }
    }
    void cancel() override {
        if (release_ != nullptr) {
            release_->set();
        }
    }

private:
    std::vector<std::string>& shown_;
    std::mutex& mutex_;
    platform::Event* release_;
};

class Watchdog : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setTimeScale(1000.0);  // a minute of time-out: 60 ms
        store({{"Frequency", 2}});
    }
    void TearDown() override {
        watchdog_.reset();
        platform::setTimeScale(1.0);
        platform::setServiceOverrides("");
    }

    static void store(const std::vector<std::pair<const char*, uint32_t>>& values,
                      const char* key = engine::kServiceParametersKey,
                      platform::RegRoot root = platform::RegRoot::LocalMachine) {
        engine::CReg parameters(key, root);
        for (const auto& [name, value] : values) {
            (void)parameters.writeInt(name, value);
        }
    }

    void start(long long minutes, platform::Event* release = nullptr) {
        watchdog_ = std::make_unique<CWatchDog>(
            messages_, time_, minutes, engine::kServiceParametersKey,
            platform::RegRoot::LocalMachine,
            std::make_unique<RecordingBox>(shown_, shownMutex_, release));
        watchdog_->start();
    }

    int alerts() const {
        int n = 0;
        for (const std::string& text : messages_.texts(MessageLevel::Error)) {
            n += text == "Lost time synchronisation";
        }
        return n;
    }
    std::vector<std::string> shown() {
        std::lock_guard<std::mutex> lock(shownMutex_);
        return shown_;
    }

    testsupport::TempStore store_;
    testsupport::RecordingMessages messages_;
    RecordingTime time_;
    std::mutex shownMutex_;
    std::vector<std::string> shown_;
    // What a box that stays up waits for; it outlives the watchdog, whose stop cancels the box.
    platform::Event boxRelease_{true};
    std::unique_ptr<CWatchDog> watchdog_;
};

}  // namespace

TEST_F(Watchdog, KicksMoreOftenThanTheTimeOutNeverAlert) {
    platform::setTimeScale(100.0);  // 600 ms
    start(1);
    for (int i = 0; i < 100; ++i) {
        watchdog_->kick();
        platform::sleepFor(20ms);
    }
    EXPECT_EQ(alerts(), 0);
    EXPECT_TRUE(time_.synchronised());
}

TEST_F(Watchdog, AlertsOncePerLossUntilAKickAndAFullTimeOut) {
    store({{"AlertMsgBox", 1}});
    start(1);
    ASSERT_TRUE(eventually([&] { return time_.stateChanges.load() == 1; }));
    EXPECT_EQ(alerts(), 1);
    EXPECT_EQ(shown(), std::vector<std::string>{"Time synchronisation lost"});
    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "Alert box"));
    EXPECT_FALSE(time_.synchronised());
    EXPECT_EQ(time_.failures(), 0u);
    EXPECT_TRUE(watchdog_->alerted());

    // Ten time-outs later still the one alert.
    platform::sleepFor(600ms);
    EXPECT_EQ(alerts(), 1);

    const auto kicked = std::chrono::steady_clock::now();
    watchdog_->kick();
    ASSERT_TRUE(eventually([&] { return alerts() == 2; }));
    EXPECT_GE(std::chrono::steady_clock::now() - kicked, 60ms);
    ASSERT_TRUE(eventually([&] { return time_.stateChanges.load() == 2; }));
    EXPECT_EQ(shown().size(), 2u);
}

TEST_F(Watchdog, StopEndsEveryStateWithinItsPatience) {
    // Armed, with a time-out far beyond 32 bits of milliseconds.
    platform::setTimeScale(1.0);
    start(4294967295LL);
    platform::sleepFor(100ms);
    watchdog_->stop();
    EXPECT_EQ(alerts(), 0);

    // Alerted, waiting for a kick.
    platform::setTimeScale(1000.0);
    start(1);
    ASSERT_TRUE(eventually([&] { return watchdog_->alerted() && time_.stateChanges.load() == 1; }));
    watchdog_->stop();

    // Inside the alert, waiting on a mail server that says nothing.
    alertstest::ScriptedSmtpServer silent({alertstest::ScriptedSmtpServer::kSilent});
    platform::setServiceOverrides("smtp/tcp=" + std::to_string(silent.port()));
    store({{"AlertEmail", 1}});
    (void)engine::CReg(engine::kServiceParametersKey).writeText("SMTPServer", "127.0.0.1");
    start(1);
    ASSERT_TRUE(eventually([&] { return silent.connected(); }));
    watchdog_->stop();

    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "Stopping"));
    EXPECT_FALSE(messages_.has(MessageLevel::Debug, "Killing"));
    EXPECT_TRUE(messages_.texts(MessageLevel::Warn).empty());
}

TEST_F(Watchdog, TheBoxComesBeforeTheMail) {
    alertstest::ScriptedSmtpServer server(alertstest::acceptingReplies());
    platform::setServiceOverrides("smtp/tcp=" + std::to_string(server.port()));
    store({{"AlertMsgBox", 1}, {"AlertEmail", 1}});
    engine::CReg parameters(engine::kServiceParametersKey);
    (void)parameters.writeText("SMTPServer", "127.0.0.1");
    (void)parameters.writeText("SMTPMsgText", "Check the antenna");
    start(1, &boxRelease_);
    ASSERT_TRUE(eventually([&] { return shown().size() == 1; }));
    platform::sleepFor(200ms);
    EXPECT_FALSE(server.connected());
    boxRelease_.set();
    ASSERT_TRUE(eventually([&] {
        return server.received().find("\r\nCheck the antenna\r\n.\r\nQUIT\r\n") !=
               std::string::npos;
    }));
    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "Send e-mail"));
}

// Nobody answers the box: the stop takes it down instead of waiting for ever.
TEST_F(Watchdog, StopTakesDownTheBoxThatIsUp) {
    store({{"AlertMsgBox", 1}});
    start(1, &boxRelease_);
    ASSERT_TRUE(eventually([&] { return shown().size() == 1; }));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        watchdog_->stop();
        stopped.store(true);
    });
    EXPECT_TRUE(eventually([&] { return stopped.load(); }, 3000ms));
    boxRelease_.set();  // lets a stop that did not take it down end, too
    stopper.join();
    EXPECT_FALSE(messages_.has(MessageLevel::Debug, "Killing"));
}

TEST_F(Watchdog, TheAlertReadsTheProgramsOwnKeyAndReloadsTheTimeOut) {
    // Set only under the desktop program's key: the service's watchdog shows no box.
    store({{"AlertMsgBox", 1}}, engine::kUserParametersKey, platform::RegRoot::CurrentUser);
    start(1);
    ASSERT_TRUE(eventually([&] { return time_.stateChanges.load() == 1; }));
    EXPECT_TRUE(shown().empty());
    // No AlertTimeout stored: four times Frequency, as when the engine built it.
    EXPECT_EQ(watchdog_->timeoutMinutes(), 8);
    watchdog_.reset();

    store({{"AlertMsgBox", 1}, {"AlertTimeout", 1000000}});
    start(1);
    ASSERT_TRUE(eventually([&] { return time_.stateChanges.load() == 2; }));
    EXPECT_EQ(shown().size(), 1u);
    EXPECT_EQ(watchdog_->timeoutMinutes(), 1000000);
}

TEST(AlertTimeouts, SliderPositionsLabelsAndMinutes) {
    const std::pair<uint32_t, int> positions[] = {{0, 0},    {15, 0},    {16, 1},    {480, 5},
                                                  {1440, 6}, {40320, 9}, {40321, 9}, {1000000, 9}};
    for (const auto& [stored, position] : positions) {
        EXPECT_EQ(alerts::alertTimeoutPosition(stored), position) << stored;
    }
    EXPECT_STREQ(alerts::alertTimeoutLabel(0), "After 15 minutes");
    EXPECT_STREQ(alerts::alertTimeoutLabel(2), "After 1 hour");
    EXPECT_STREQ(alerts::alertTimeoutLabel(9), "After 4 weeks");
    EXPECT_EQ(alerts::alertTimeoutMinutes(4), 360u);
    EXPECT_EQ(alerts::alertTimeoutMinutes(7), 10080u);
    for (int p = 0; p < alerts::kAlertTimeoutPositions; ++p) {
        EXPECT_EQ(alerts::alertTimeoutPosition(alerts::alertTimeoutMinutes(p)), p);
    }
}
