// Threads hammering SetLED while others run Init and DeInit: the library's lock must keep every
// call whole, so no entry of an unloaded library is called and the lines end in one colour.
#include "driver_binding.h"
#include "kav_morv_led.h"
#include "led_line_oracle.h"
#include "recording_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace {

const std::uint32_t kInitial[4] = {0x44000201, 0x44000203, 0x84000A01, 0x40000301};

constexpr int kSetterThreads = 4;
constexpr int kCallsPerSetter = 3000;
constexpr int kBinderThreads = 2;

TEST(ConcurrencyTest, SetLedRacingInitAndDeInitLeavesOneWholeColour) {
    reset_fake_world();
    led::driver_binding() = led::DriverBinding{};
    for (int line = 0; line < 4; ++line) {
        fake_world().registers[kLine[line]] = kInitial[line];
    }

    ASSERT_NE(Init(), 0);
    std::atomic<int> setters_running{kSetterThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kSetterThreads; ++t) {
        threads.emplace_back([t, &setters_running] {
            std::mt19937 random(static_cast<unsigned>(t));
            std::uniform_int_distribution<int> any_code(0, 255);
            std::uniform_int_distribution<int> valid_code(0, 7);
            for (int call = 0; call < kCallsPerSetter; ++call) {
                SetLED(static_cast<LedColorCode>(call % 4 == 0 ? any_code(random) : valid_code(random)));
            }
            --setters_running;
        });
    }
    for (int t = 0; t < kBinderThreads; ++t) {
        threads.emplace_back([&setters_running] {
            while (setters_running > 0) {
                DeInit();
                Init();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    EXPECT_EQ(fake_world().calls_into_unloaded_code, 0);
    int levels[4];
    for (int line = 0; line < 4; ++line) {
        const std::uint32_t value = fake_world().registers[kLine[line]];
        EXPECT_EQ(value & ~1u, kInitial[line] & ~1u) << "line " << line;
        levels[line] = static_cast<int>(value & 1u);
    }
    bool one_colour = false;
    for (const auto& pattern : kLevels) {
        one_colour = one_colour || std::equal(std::begin(pattern), std::end(pattern), std::begin(levels));
    }
    EXPECT_TRUE(one_colour) << levels[0] << levels[1] << levels[2] << levels[3];

    // The journal must show every SetLED's traffic whole: lock, four read/write pairs, unlock.
    const std::vector<std::string> journal = take_journal();
    for (std::size_t at = 0; at < journal.size(); ++at) {
        if (journal[at] == "lock 2000") {
            ASSERT_LE(at + 9, journal.size() - 1);
            for (std::size_t step = 1; step <= 8; ++step) {
                ASSERT_EQ(journal[at + step].rfind(step % 2 == 1 ? "read " : "write ", 0), 0u) << "at " << at + step;
            }
            ASSERT_EQ(journal[at + 9], "unlock");
        }
    }
}

}  // namespace
