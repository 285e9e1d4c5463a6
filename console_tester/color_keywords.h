#pragma once

#include "kav_morv_led.h"

#include <cstddef>

namespace tester {

// A colour under the two keywords that select it: all capitals and all small letters.
struct ColorKeyword {
    const char* capitals;
    const char* small_letters;
    LedColorCode code;
};

// In the order the keywords are tried, capitals first, and the usage block lists them.
extern const ColorKeyword kColorKeywordTable[];
extern const std::size_t kColorKeywordCount;

// Finds the colour code of a keyword ("red", "OFF", ...). Only the exact all-capitals or
// all-small forms match. Returns false for anything else.
bool find_color_code(const char* keyword, LedColorCode& code);

}  // namespace tester
