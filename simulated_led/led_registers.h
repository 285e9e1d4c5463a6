// The simulated LED's four GPIO pad registers, kept in a state file so that, like the real LED,
// the colour outlives the program that set it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace sim {

constexpr std::size_t kLineCount = 4;
using Registers = std::array<std::uint32_t, kLineCount>;

constexpr std::uint32_t kLineAddress[kLineCount] = {0xFD6E0830, 0xFD6E0840, 0xFD6E0850, 0xFD6E0860};

// Output pads as firmware leaves them: configuration bits set, every line driven high (LED off).
constexpr Registers kPowerOnValues = {0x44000201, 0x44000203, 0x84000A01, 0x40000301};

// Index of the line whose register is at this physical address, or -1.
int line_at(std::uintptr_t physical_address);

// LED_SIM_STATE if set, else led_sim_state.txt beside the module this code is linked into.
std::string state_file_path();

// Each of these holds the state file's lock for its whole read-modify-write. A missing or
// unreadable state reads as the power-on values. They return false when the file cannot be used.
bool load_registers(Registers& registers);
bool store_register(std::size_t line, std::uint32_t value);
bool reset_registers();

}  // namespace sim
