#pragma once
#include <cstdint>

#include "config/AlertTimeoutChoices.h"

namespace alerts {

// The alert time-out choices the desktop program's Alerts page offers on its slider.
inline constexpr int kAlertTimeoutPositions = static_cast<int>(config::kAlertTimeoutChoices.size());

// The position that shows a stored time-out: the first choice at least as long, else the
// last one.
int alertTimeoutPosition(uint32_t storedMinutes);
// "After 1 hour": the label beside the slider at a position (clamped to the slider).
const char* alertTimeoutLabel(int position);
// The minutes stored for a position (clamped to the slider).
uint32_t alertTimeoutMinutes(int position);

}  // namespace alerts
