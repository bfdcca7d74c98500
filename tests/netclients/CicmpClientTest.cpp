// The ICMP timestamp client against the kernel's own answers on 127.0.0.1.
#include <gtest/gtest.h>

#include <cmath>

#include "netclients/CicmpClient.h"
#include "platform/SimulatedClock.h"
#include "support/RecordingMessages.h"
#include "support/RecordingTime.h"

using core::MessageLevel;
using netclients::CicmpClient;
using testsupport::RecordingMessages;
using testsupport::RecordingTime;

TEST(CicmpClient, CorrectsTheClockFromTheKernelsTimestampReplies) {
    for (double offset : {-600.25, 600.25, 3 * 3600.0 + 20.5}) {
        platform::SimulatedClock clock(offset);
        RecordingMessages messages;
        RecordingTime time(clock);
        CicmpClient client(messages, time, "127.0.0.1", 0, nullptr);
        EXPECT_EQ(client.replyTimeout(), platform::Millis(20000));
        client.setReplyTimeout(platform::Millis(3000));
        client.start();
        ASSERT_TRUE(time.waitForResults(1));
        client.stop();
        const auto errors = messages.texts(MessageLevel::Error);
        ASSERT_TRUE(errors.empty()) << errors[0];
        ASSERT_EQ(time.corrections().size(), 1u) << offset;
        // Within the hour: three hours and 20.5 s ahead is corrected by 20.5 s.
        const double withinHour = std::remainder(-offset, 3600.0);
        EXPECT_NEAR(time.corrections()[0], withinHour, 0.1) << offset;
        EXPECT_EQ(time.referenceId(), core::referenceIdFromText("ICMP"));
        EXPECT_TRUE(messages.has(MessageLevel::Debug, "orig="));
        EXPECT_EQ(time.failures(), 0u);
    }
}
