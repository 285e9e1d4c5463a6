#include "color_keywords.h"

#include <cstring>

namespace tester {

const ColorKeyword kColorKeywordTable[] = {
    {"OFF", "off", LED_COLOR_OFF},          {"RED", "red", LED_COLOR_RED},
    {"GREEN", "green", LED_COLOR_GREEN},    {"BLUE", "blue", LED_COLOR_BLUE},
    {"WHITE", "white", LED_COLOR_WHITE},    {"CB", "cb", LED_COLOR_CB},
    {"YELLOW", "yellow", LED_COLOR_YELLOW}, {"PURPLE", "purple", LED_COLOR_PURPLE},
};
const std::size_t kColorKeywordCount = sizeof kColorKeywordTable / sizeof kColorKeywordTable[0];

bool find_color_code(const char* keyword, LedColorCode& code) {
    for (const ColorKeyword& color : kColorKeywordTable) {
        if (std::strcmp(keyword, color.capitals) == 0 || std::strcmp(keyword, color.small_letters) == 0) {
            code = color.code;
            return true;
        }
    }
    return false;
}

}  // namespace tester
