// Threads hammering SetLED and GetLED while others run Init and DeInit: the library's lock must
// keep every call whole, so no entry of an unloaded library is called, the lines end in one
// colour, and a read-back never reads in the middle of a change.
#include "kav_morv_led.h"
#include "led_line_oracle.h"
#include "led_logic_test.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace {

using ConcurrencyTest = LedLogicTest;

constexpr int kSetterThreads = 4;
constexpr int kCallsPerSetter = 3000;
constexpr int kBinderThreads = 2;
constexpr int kReaderThreads = 2;

TEST_F(ConcurrencyTest, SetLedRacingInitAndDeInitLeavesOneWholeColor) {
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
    for (int t = 0; t < kReaderThreads; ++t) {
        threads.emplace_back([&setters_running] {
            while (setters_running > 0) {
                GetLED();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    int levels[4];
    for (std::size_t line = 0; line < sim::kLineCount; ++line) {
        const std::uint32_t value = fake_world().registers[sim::kLineAddress[line]];
        EXPECT_EQ(value & ~1u, sim::kPowerOnValues[line] & ~1u) << "line " << line;
        levels[line] = static_cast<int>(value & 1u);
    }
    bool one_color = false;
    for (const auto& pattern : kLevels) {
        one_color = one_color || std::equal(std::begin(pattern), std::end(pattern), std::begin(levels));
    }
    EXPECT_TRUE(one_color) << levels[0] << levels[1] << levels[2] << levels[3];

    // The journal must show every call's traffic whole: lock, then four read/write pairs (SetLED)
    // or four reads (GetLED), then unlock.
    const std::vector<std::string> journal = take_journal();
    for (std::size_t at = 0; at < journal.size(); ++at) {
        if (journal[at] == "lock kav_morv_led_registers 2000") {
            const bool setting = at + 2 < journal.size() && journal[at + 2].rfind("write ", 0) == 0;
            const std::size_t accesses = setting ? 8 : 4;
            ASSERT_LE(at + accesses + 1, journal.size() - 1);
            for (std::size_t step = 1; step <= accesses; ++step) {
                const bool read = !setting || step % 2 == 1;
                ASSERT_EQ(journal[at + step].rfind(read ? "read " : "write ", 0), 0u) << "at " << at + step;
            }
            ASSERT_EQ(journal[at + accesses + 1], "unlock");
        }
    }
}

}  // namespace
