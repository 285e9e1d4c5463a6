// SetLED: drive the four LED lines to a colour's pattern, one read-modify-write per line. GetLED:
// read them back.
#include "diagnostics.h"
#include "driver_binding.h"
#include "kav_morv_led.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <iterator>

namespace led {
namespace {

constexpr std::size_t kLineCount = 4;

// Bit 0 of each line's register drives the line; the other bits configure the pad.
constexpr std::uintptr_t kLineAddress[kLineCount] = {0xFD6E0830, 0xFD6E0840, 0xFD6E0850, 0xFD6E0860};

// Level of bit 0 per line (0: enable, 1: red, 2: blue, 3: green); a channel is lit at 0.
constexpr std::uint8_t kLedLinePattern[][kLineCount] = {
    {1, 1, 1, 1},  // OFF
    {0, 0, 1, 1},  // RED
    {0, 1, 1, 0},  // GREEN
    {0, 1, 0, 1},  // BLUE
    {0, 0, 0, 0},  // WHITE
    {0, 1, 0, 0},  // CB
    {0, 0, 1, 0},  // YELLOW
    {0, 0, 0, 1},  // PURPLE
};
constexpr std::size_t kColorCount = sizeof kLedLinePattern / sizeof kLedLinePattern[0];

// Every process that sets the LED takes this machine-wide lock around its four lines, so that two
// of them cannot mix their colours. A holder that does not let go must not freeze the LED for
// good, so the wait is bounded.
constexpr const char* kRegisterLockName = "kav_morv_led_registers";
constexpr unsigned kRegisterLockTimeoutMs = 2000;

void drive_lines(const DriverBinding& binding, LedColorCode code) {
    for (std::size_t line = 0; line < kLineCount; ++line) {
        std::uint32_t value = 0;
        // Writing back a value we never read would overwrite the pad's configuration.
        if (binding.get_phys_long(kLineAddress[line], &value) == 0) {
            continue;
        }
        value = (value & ~1u) | kLedLinePattern[code][line];
        binding.set_phys_long(kLineAddress[line], value);
    }
}

void report_going_on_without_lock(const char* stage, const platform::LockAttempt& attempt) {
    char line[160];
    const int length =
        attempt.outcome == platform::LockOutcome::timed_out
            ? std::snprintf(line, sizeof line,
                            "%s :: Could not take the LED register lock within %u ms; going on without it.\n", stage,
                            kRegisterLockTimeoutMs)
            : std::snprintf(line, sizeof line,
                            "%s :: The LED register lock cannot be used (%s); going on without it.\n", stage,
                            attempt.why_unusable);
    if (length > 0) {
        write_diagnostic(line);
    }
}

// Runs `work` on the registers under the machine-wide lock, or without it, saying so as `stage`,
// when the lock cannot be had.
template <typename Work>
void under_register_lock(const char* stage, Work work) {
    const platform::LockAttempt lock = platform::acquire_named_lock(kRegisterLockName, kRegisterLockTimeoutMs);
    if (lock.outcome != platform::LockOutcome::taken) {
        report_going_on_without_lock(stage, lock);
    }
    work();
    if (lock.outcome == platform::LockOutcome::taken) {
        platform::release_named_lock();
    }
}

// The code whose pattern the lines' levels are, or LED_COLOR_UNKNOWN.
std::uint8_t color_of(const std::uint8_t (&levels)[kLineCount]) {
    for (std::size_t code = 0; code < kColorCount; ++code) {
        if (std::equal(std::begin(levels), std::end(levels), std::begin(kLedLinePattern[code]))) {
            return static_cast<std::uint8_t>(code);
        }
    }
    return LED_COLOR_UNKNOWN;
}

// Closes the lock's file or handle when the library is unloaded. The host's exit runs this too,
// possibly while another thread is still in SetLED: then it leaves the lock alone rather than wait.
struct CloseRegisterLockAtUnload {
    CloseRegisterLockAtUnload() = default;
    CloseRegisterLockAtUnload(const CloseRegisterLockAtUnload&) = delete;
    CloseRegisterLockAtUnload& operator=(const CloseRegisterLockAtUnload&) = delete;
    ~CloseRegisterLockAtUnload() {
        std::mutex& mutex = binding_mutex();
        if (mutex.try_lock()) {
            platform::close_named_lock();
            mutex.unlock();
        }
    }
} close_register_lock_at_unload;

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
    led::under_register_lock("SetLED", [&binding, code] { led::drive_lines(binding, code); });
}

extern "C" uint8_t GetLED(void) {
    const std::lock_guard<std::mutex> serialised(led::binding_mutex());
    const led::DriverBinding& binding = led::driver_binding();
    if (!led::usable(binding, binding.get_phys_long)) {
        return LED_COLOR_UNKNOWN;
    }
    std::uint8_t levels[led::kLineCount] = {};
    bool all_read = true;
    led::under_register_lock("GetLED", [&binding, &levels, &all_read] {
        for (std::size_t line = 0; line < led::kLineCount && all_read; ++line) {
            std::uint32_t value = 0;
            all_read = binding.get_phys_long(led::kLineAddress[line], &value) != 0;
            levels[line] = static_cast<std::uint8_t>(value & 1u);
        }
    });
    return all_read ? led::color_of(levels) : std::uint8_t{LED_COLOR_UNKNOWN};
}
