#pragma once

#include "kav_morv_led.h"

namespace tester {

// Finds the colour code of a keyword ("red", "OFF", ...), trying each colour's capitals, then its
// small letters, in the order of the codes. Only those exact forms match. Returns false for
// anything else.
bool find_color_code(const char* keyword, LedColorCode& code);

}  // namespace tester
