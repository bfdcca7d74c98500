#include <gtest/gtest.h>

#include "platform/EventLog.h"

using namespace platform;

TEST(EventLog, OpensWithRepeatsReported) {
    EventLog log("Kronel");
    EXPECT_TRUE(log.isOpen());
    EXPECT_TRUE(log.reportRepeats());
    EXPECT_TRUE(log.report(EventType::Information, 3, nullptr));
    EXPECT_TRUE(log.report(EventType::Information, 3, nullptr));
}

TEST(EventLog, WithoutRepeatsTheSameIdentifierTwiceInARowIsDropped) {
    EventLog log("Kronel");
    log.setReportRepeats(false);
    EXPECT_TRUE(log.report(EventType::Warning, 7, "kronel test record"));
    EXPECT_FALSE(log.report(EventType::Warning, 7, "kronel test record"));
    EXPECT_TRUE(log.report(EventType::Error, 3, "kronel test record"));
    EXPECT_TRUE(log.report(EventType::Warning, 7, "kronel test record"));
    log.setReportRepeats(true);
    EXPECT_TRUE(log.report(EventType::Warning, 7, "kronel test record"));
}

TEST(EventLog, SeveralSourcesMayBeOpenAtOnce) {
    EventLog first("Kronel");
    {
        EventLog second("KronelTest");
        EXPECT_TRUE(second.report(EventType::Information, 1, "kronel test record"));
    }
    EXPECT_TRUE(first.report(EventType::Information, 1, "kronel test record"));
}
