#pragma once
#include <chrono>
#include <string>

namespace platform {

// Test seams read from the environment once, changeable in-process by tests.

// KRONEL_TIME_SCALE: schedule waits (poll waits, switch delays, ...) are divided by it.
double timeScale();
void setTimeScale(double scale);
// A schedule wait of `ms` after scaling, at least 1 ms when ms > 0. A negative `ms` is read as
// Windows reads the same 32-bit wait: 2^32 + ms milliseconds, and -1 (INFINITE) never ends.
std::chrono::milliseconds scheduleWait(long long ms);

// Reads an environment variable ("" when unset).
std::string environment(const char* name);

}  // namespace platform
