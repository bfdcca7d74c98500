#include "alerts/AlertTimeouts.h"

namespace alerts {

namespace {

constexpr const auto& kChoices = config::kAlertTimeoutChoices;

int clamped(int position) {
    return position < 0
               ? 0
               : (position >= kAlertTimeoutPositions ? kAlertTimeoutPositions - 1 : position);
}

}  // namespace

int alertTimeoutPosition(uint32_t storedMinutes) {
    for (int i = 0; i < kAlertTimeoutPositions; ++i) {
        if (kChoices[i].value >= storedMinutes) {
            return i;
        }
    }
    return kAlertTimeoutPositions - 1;
}

const char* alertTimeoutLabel(int position) {
    return kChoices[clamped(position)].label;
}

uint32_t alertTimeoutMinutes(int position) {
    return kChoices[clamped(position)].value;
}

}  // namespace alerts
