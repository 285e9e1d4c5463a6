// What the tests expect of the LED lines, written out independently of the library's own table.
#pragma once

#include <cstdint>

// Line 0 (enable), 1 (red), 2 (blue), 3 (green).
const std::uintptr_t kLine[4] = {0xFD6E0830, 0xFD6E0840, 0xFD6E0850, 0xFD6E0860};

// Bit 0 per line for codes 0..7; a channel is lit at 0.
const int kLevels[8][4] = {
    {1, 1, 1, 1}, {0, 0, 1, 1}, {0, 1, 1, 0}, {0, 1, 0, 1},
    {0, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1},
};
