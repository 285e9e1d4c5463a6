// SetLED: drive the four LED lines to a colour's pattern, one read-modify-write per line.
#include "diagnostics.h"
#include "driver_binding.h"
#include "kav_morv_led.h"

#include <cstddef>

namespace led {
namespace {

constexpr std::size_t kLineCount = 4;

// Bit 0 of each line's register drives the line; the other bits configure the pad.
constexpr std::uintptr_t kLineAddress[kLineCount] = {0xFD6E0830, 0xFD6E0840, 0xFD6E0850, 0xFD6E0860};

// Level of bit 0 per line (0: enable, 1: red, 2: blue, 3: green); a channel is lit at 0.
constexpr std::uint8_t LedLinePattern[][kLineCount] = {
    {1, 1, 1, 1},  // OFF
    {0, 0, 1, 1},  // RED
    {0, 1, 1, 0},  // GREEN
    {0, 1, 0, 1},  // BLUE
    {0, 0, 0, 0},  // WHITE
    {0, 1, 0, 0},  // CB
    {0, 0, 1, 0},  // YELLOW
    {0, 0, 0, 1},  // PURPLE
};
constexpr std::size_t kColorCount = sizeof LedLinePattern / sizeof LedLinePattern[0];

constexpr unsigned kRegisterLockTimeoutMs = 2000;

void drive_lines(const DriverBinding& binding, LedColorCode code) {
    for (std::size_t line = 0; line < kLineCount; ++line) {
        std::uint32_t value = 0;
        // Writing back a value we never read would overwrite the pad's configuration.
        if (binding.get_phys_long(kLineAddress[line], &value) == 0) {
            continue;
        }
        value = (value & ~1u) | LedLinePattern[code][line];
        binding.set_phys_long(kLineAddress[line], value);
    }
}

}  // namespace
}  // namespace led

extern "C" void SetLED(LedColorCode code) {
    if (code >= led::kColorCount) {
        return;
    }
    const std::lock_guard<std::mutex> serialised(led::binding_mutex());
    const led::DriverBinding& binding = led::driver_binding();
    if (!led::usable(binding, binding.get_phys_long) || !led::usable(binding, binding.set_phys_long)) {
        return;
    }
    // Another process setting the LED at the same time must not interleave its lines with ours.
    // A lock that cannot be had (a hung holder) must not hang the caller either.
    const bool locked = platform::acquire_register_lock(led::kRegisterLockTimeoutMs);
    if (!locked) {
        led::write_diagnostic("SetLED :: Could not take the LED register lock within 2000 ms; going on without it.\n");
    }
    led::drive_lines(binding, code);
    if (locked) {
        platform::release_register_lock();
    }
}
