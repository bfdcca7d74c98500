#include "alerts/AlertTimeouts.h"

namespace alerts {

namespace {

struct Choice {
    uint32_t minutes;
    const char* label;
};

constexpr Choice kChoices[kAlertTimeoutPositions] = {
    {15, "After 15 minutes"}, {30, "After 30 minutes"}, {60, "After 1 hour"},
    {120, "After 2 hours"},   {360, "After 6 hours"},   {720, "After 12 hours"},
    {1440, "After 24 hours"}, {10080, "After 1 week"},  {20160, "After 2 weeks"},
    {40320, "After 4 weeks"}};

int clamped(int position) {
    return position < 0
               ? 0
               : (position >= kAlertTimeoutPositions ? kAlertTimeoutPositions - 1 : position);
}

}  // namespace

int alertTimeoutPosition(uint32_t storedMinutes) {
    for (int i = 0; i < kAlertTimeoutPositions; ++i) {
        if (kChoices[i].minutes >= storedMinutes) {
            return i;
        }
    }
    return kAlertTimeoutPositions - 1;
}

const char* alertTimeoutLabel(int position) {
    return kChoices[clamped(position)].label;
}

uint32_t alertTimeoutMinutes(int position) {
    return kChoices[clamped(position)].minutes;
}

}  // namespace alerts
