#include "color_keywords.h"

#include <cstring>

namespace tester {
namespace {

struct ColorKeyword {
    const char* keyword;
    std::uint8_t code;
};

constexpr ColorKeyword kColorKeywordTable[] = {
    {"OFF", 0},    {"off", 0},    {"RED", 1},    {"red", 1},    {"GREEN", 2}, {"green", 2},
    {"BLUE", 3},   {"blue", 3},   {"WHITE", 4},  {"white", 4},  {"CB", 5},    {"cb", 5},
    {"YELLOW", 6}, {"yellow", 6}, {"PURPLE", 7}, {"purple", 7},
};

}  // namespace

bool find_color_code(const char* keyword, std::uint8_t& code) {
    for (const ColorKeyword& entry : kColorKeywordTable) {
        if (std::strcmp(keyword, entry.keyword) == 0) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

}  // namespace tester
