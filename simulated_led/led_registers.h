// The simulated LED's four GPIO pad registers. They live in a small file mapped into every process
// that uses them, so, as on the real LED, the colour outlives the program that set it and every
// process sees the same registers. Each register is read and written whole, as hardware does.
#pragma once

#include "led_hardware.h"
#include "sim_system.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace sim {

// Index of the line whose register is at this physical address, or -1.
int line_at(std::uintptr_t physical_address);

// LED_SIM_STATE if set, else led_sim_state.bin beside the module this code is linked into.
std::string state_file_path();

class RegisterFile {
public:
    RegisterFile();

    // False when the state file could not be mapped; nothing else may then be called.
    bool usable() const { return registers_ != nullptr; }
    // Why the state file could not be mapped, in a few words.
    const std::string& problem() const { return file_.problem(); }
    std::uint32_t load(std::size_t line) const { return registers_[line].load(); }
    void store(std::size_t line, std::uint32_t value) { registers_[line].store(value); }

private:
    // Lock-free atomics are address-free, so they stay whole across processes sharing the mapping.
    using Register = std::atomic<std::uint32_t>;
    static_assert(Register::is_always_lock_free && sizeof(Register) == sizeof(std::uint32_t),
                  "a register must map onto a plain 32-bit word");

    SharedFileMapping file_;
    Register* registers_;
};

}  // namespace sim
