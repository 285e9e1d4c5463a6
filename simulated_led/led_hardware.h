// The LED's four GPIO pad registers as the hardware has them: where they are and what firmware
// leaves in them. The one copy of these facts for the test equipment (simulator, tests,
// benchmarks); the library keeps its own, so the tests check it against an independent source.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sim {

constexpr std::size_t kLineCount = 4;
using Registers = std::array<std::uint32_t, kLineCount>;

// Line 0 (enable), 1 (red), 2 (blue), 3 (green).
constexpr Registers kLineAddress = {0xFD6E0830, 0xFD6E0840, 0xFD6E0850, 0xFD6E0860};

// Output pads as firmware leaves them: configuration bits set, every line driven high (LED off).
constexpr Registers kPowerOnValues = {0x44000201, 0x44000203, 0x84000A01, 0x40000301};

}  // namespace sim
