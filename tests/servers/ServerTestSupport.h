#pragma once
// What the servers' tests share: how long a wait may take, and their time handler, a
// testsupport::RecordingTime on the process's clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "core/Handlers.h"
#include "core/TimeValue.h"
#include "platform/Clock.h"
#include "support/RecordingTime.h"

namespace servertest {

constexpr std::chrono::milliseconds kPatience{10000};  // bounds waits, never an assertion

}  // namespace servertest
