// The eight colours' names, in the order of their codes: the one table from which the tester's
// keywords, the service's protocol and its client's help are all made.
#pragma once

#include "kav_morv_led.h"

#include <cstddef>

namespace led {

struct ColorName {
    LedColorCode code;
    const char* capitals;       // "RED": the tester's first keyword, and its usage block's
    const char* small_letters;  // "red": the tester's other keyword, and the protocol's name
};

inline constexpr ColorName kColorNames[] = {
    {LED_COLOR_OFF, "OFF", "off"},          {LED_COLOR_RED, "RED", "red"},
    {LED_COLOR_GREEN, "GREEN", "green"},    {LED_COLOR_BLUE, "BLUE", "blue"},
    {LED_COLOR_WHITE, "WHITE", "white"},    {LED_COLOR_CB, "CB", "cb"},
    {LED_COLOR_YELLOW, "YELLOW", "yellow"}, {LED_COLOR_PURPLE, "PURPLE", "purple"},
};
inline constexpr std::size_t kColorCount = sizeof kColorNames / sizeof kColorNames[0];

}  // namespace led
