#include "color_keywords.h"

#include "color_names.h"

#include <cstring>

namespace tester {

bool find_color_code(const char* keyword, LedColorCode& code) {
    for (const led::ColorName& color : led::kColorNames) {
        if (std::strcmp(keyword, color.capitals) == 0 || std::strcmp(keyword, color.small_letters) == 0) {
            code = color.code;
            return true;
        }
    }
    return false;
}

}  // namespace tester
