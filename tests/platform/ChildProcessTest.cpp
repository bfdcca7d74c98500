// The programs these tests start (/bin/sh, /bin/sleep) and the signals they send are POSIX's.
#ifndef _WIN32

#include "platform/ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using platform::ChildProcess;

namespace {
constexpr platform::Millis kDeadline{10000};
}

TEST(ChildProcess, CollectsOutputErrorsAndTheExitCode) {
    ChildProcess child;
    ASSERT_TRUE(child.start("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"}).ok());
    int code = -1;
    ASSERT_TRUE(child.wait(kDeadline, code));
    EXPECT_EQ(code, 3);
    EXPECT_EQ(child.output(), "out\n");
    EXPECT_EQ(child.errors(), "err\n");
    EXPECT_FALSE(child.running());
}

TEST(ChildProcess, SetsAndRemovesEnvironmentVariables) {
    setenv("KRONEL_CHILD_TEST_GONE", "present", 1);
    ChildProcess::Options options;
    options.setEnvironment = {{"KRONEL_CHILD_TEST", "a value"}};
    options.unsetEnvironment = {"KRONEL_CHILD_TEST_GONE"};
    options.searchPath = true;
    ChildProcess child;
    ASSERT_TRUE(child
                    .start("sh",
                           {"-c", "echo \"$KRONEL_CHILD_TEST|${KRONEL_CHILD_TEST_GONE-unset}\""},
                           options)
                    .ok());
    int code = -1;
    ASSERT_TRUE(child.wait(kDeadline, code));
    unsetenv("KRONEL_CHILD_TEST_GONE");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(child.output(), "a value|unset\n");
}

TEST(ChildProcess, SignalEndsTheChildWithOneHundredTwentyEightPlusTheNumber) {
    ChildProcess child;
    ASSERT_TRUE(child.start("/bin/sleep", {"30"}).ok());
    EXPECT_TRUE(child.running());
    ASSERT_TRUE(child.signal(ChildProcess::Signal::Terminate).ok());
    int code = -1;
    ASSERT_TRUE(child.wait(kDeadline, code));
    EXPECT_EQ(code, 128 + 15);
    EXPECT_FALSE(child.signal(ChildProcess::Signal::Terminate).ok());
}

TEST(ChildProcess, WaitTimesOutWhileTheChildRuns) {
    ChildProcess child;
    ASSERT_TRUE(child.start("/bin/sleep", {"30"}).ok());
    int code = -1;
    EXPECT_FALSE(child.wait(platform::Millis(1), code));
    // The destructor kills and reaps it.
}

TEST(ChildProcess, MissingProgramFailsToStart) {
    ChildProcess child;
    const platform::Status status = child.start("/nonexistent/kronel-program", {});
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(platform::lastSystemError(), status.error);
    EXPECT_FALSE(child.running());
}

#endif  // _WIN32
