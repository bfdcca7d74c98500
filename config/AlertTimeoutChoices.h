#pragma once
#include <array>
#include <cstdint>

namespace config {

// A value a settings page offers on a slider, with the words shown beside it.
struct Choice {
    uint32_t value;
    const char* label;
};

// The AlertTimeout choices of the Alerts page's slider, in minutes.
inline constexpr std::array<Choice, 10> kAlertTimeoutChoices = {{
    {15, "After 15 minutes"},
    {30, "After 30 minutes"},
    {60, "After 1 hour"},
    {120, "After 2 hours"},
    {360, "After 6 hours"},
    {720, "After 12 hours"},
    {1440, "After 24 hours"},
    {10080, "After 1 week"},
    {20160, "After 2 weeks"},
    {40320, "After 4 weeks"},
}};

}  // namespace config
