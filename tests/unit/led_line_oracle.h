// What the tests expect of the LED lines, written out independently of the library's own table.
#pragma once

// Bit 0 per line (0 enable, 1 red, 2 blue, 3 green) for codes 0..7; a channel is lit at 0.
const int kLevels[8][4] = {
    {1, 1, 1, 1}, {0, 0, 1, 1}, {0, 1, 1, 0}, {0, 1, 0, 1},
    {0, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1},
};
