#pragma once

#include <cstdint>

namespace tester {

// Finds the colour code of a keyword ("red", "OFF", ...). Only the exact all-capitals or
// all-small forms match. Returns false for anything else.
bool find_color_code(const char* keyword, std::uint8_t& code);

}  // namespace tester
