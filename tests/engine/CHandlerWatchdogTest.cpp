#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <system_error>

#include "engine/CHandler.h"
#include "engine/CReg.h"
#include "platform/SimulatedClock.h"
#include "platform/Thread.h"
#include "support/TestSupport.h"

using namespace engine;
using namespace core;
using testsupport::eventually;

namespace {

// What the engine did with its watchdog.
struct WatchdogJournal {
    std::atomic<int> created{0};
    std::atomic<int> started{0};
    std::atomic<int> kicks{0};
    std::atomic<int> stopped{0};
    bool threadCannotBeMade = false;
    long long timeoutMinutes = 0;
    std::string parametersKey;
};

class JournalWatchdog : public Watchdog {
public:
    explicit JournalWatchdog(WatchdogJournal& journal) : journal_(journal) {}
    void start() override {
        ++journal_.started;
        if (journal_.threadCannotBeMade) {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "watchdog");
        }
    }
    void kick() override { ++journal_.kicks; }
    void stop() override { ++journal_.stopped; }

private:
    WatchdogJournal& journal_;
};

class JournalWatchdogs : public WatchdogFactory {
public:
    explicit JournalWatchdogs(WatchdogJournal& journal) : journal_(journal) {}
    std::unique_ptr<Watchdog> create(const WatchdogContext& context) override {
        ++journal_.created;
        journal_.timeoutMinutes = context.timeoutMinutes;
        journal_.parametersKey = context.parametersKey;
        return std::make_unique<JournalWatchdog>(journal_);
    }

private:
    WatchdogJournal& journal_;
};

class EngineWatchdog : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setProcessClock(std::make_unique<platform::SimulatedClock>());
        CReg parameters(kServiceParametersKey);
        (void)parameters.writeInt("LogtoEvtlog", 0);
        (void)parameters.writeInt("Frequency", 30);
    }
    void TearDown() override { platform::setProcessClock(nullptr); }

    // Runs the engine with `enableAlerts`, hands it `corrections`, and stops it.
    void run(uint32_t enableAlerts, std::initializer_list<double> corrections) {
        (void)CReg(kServiceParametersKey).writeInt("EnableAlerts", enableAlerts);
        CHandler handler(false, nullptr, std::make_unique<JournalWatchdogs>(journal_));
        platform::Event stop(true);
        platform::Thread engine([&] { handler.run(stop); });
        if (enableAlerts != 0) {
            ASSERT_TRUE(eventually([&] { return journal_.started.load() == 1; }));
        }
        for (double correction : corrections) {
            handler.setTime(correction);
        }
        stop.set();
        engine.joinFor(platform::kInfinite);
    }

    testsupport::TempStore store_;
    WatchdogJournal journal_;
};

}  // namespace

TEST_F(EngineWatchdog, BuiltWhenAlertsAreEnabledAndKickedByAcceptedResults) {
    // Too small (accepted), stepped (accepted), refused as above Max (no kick).
    run(1, {0.001, 2.0, 5000.0});
    EXPECT_EQ(journal_.created.load(), 1);
    EXPECT_EQ(journal_.timeoutMinutes, 120);  // four times Frequency
    EXPECT_EQ(journal_.parametersKey, kServiceParametersKey);
    EXPECT_EQ(journal_.kicks.load(), 2);
    EXPECT_EQ(journal_.stopped.load(), 1);
}

TEST_F(EngineWatchdog, OneWhoseThreadCannotBeMadeIsLeftOutAndTheEngineGoesOn) {
    journal_.threadCannotBeMade = true;
    run(1, {2.0});
    EXPECT_EQ(journal_.started.load(), 1);
    EXPECT_EQ(journal_.kicks.load(), 0);
    EXPECT_EQ(journal_.stopped.load(), 0);
}

TEST_F(EngineWatchdog, NoneWithoutEnableAlerts) {
    run(0, {2.0});
    EXPECT_EQ(journal_.created.load(), 0);
}
