// SetLED against the recording fake: register traffic, order, preserved bits, unusable entries.
#include "driver_binding.h"
#include "kav_morv_led.h"
#include "led_line_oracle.h"
#include "recording_platform.h"

#include <gtest/gtest.h>

namespace {

using Journal = std::vector<std::string>;

// Power-on values with every configuration bit pattern different, so a swapped line shows.
const std::uint32_t kInitial[4] = {0x44000201, 0x44000302, 0x84000A01, 0x40000C00};

class SetLedTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_fake_world();
        led::driver_binding() = led::DriverBinding{};
        for (int line = 0; line < 4; ++line) {
            fake_world().registers[kLine[line]] = kInitial[line];
        }
    }
    void TearDown() override { EXPECT_EQ(fake_world().calls_into_unloaded_code, 0); }

    void init() {
        ASSERT_NE(Init(), 0);
        take_journal();
    }

    // The traffic a call with this code must make when every read succeeds.
    static Journal expected_traffic(int code, const std::uint32_t (&before)[4]) {
        Journal journal{"lock 2000"};
        for (int line = 0; line < 4; ++line) {
            const std::uint32_t value = (before[line] & ~1u) | static_cast<std::uint32_t>(kLevels[code][line]);
            journal.push_back("read " + hex32(static_cast<std::uint32_t>(kLine[line])));
            journal.push_back("write " + hex32(static_cast<std::uint32_t>(kLine[line])) + " " + hex32(value));
        }
        journal.push_back("unlock");
        return journal;
    }
};

TEST_F(SetLedTest, EveryCodeReadsThenWritesEachLineInOrderChangingOnlyBitZero) {
    init();
    for (int code = 0; code < 8; ++code) {
        SCOPED_TRACE("code " + std::to_string(code));
        for (int line = 0; line < 4; ++line) {
            fake_world().registers[kLine[line]] = kInitial[line];
        }
        SetLED(static_cast<LedColorCode>(code));
        EXPECT_EQ(take_journal(), expected_traffic(code, kInitial));
        for (int line = 0; line < 4; ++line) {
            EXPECT_EQ(fake_world().registers[kLine[line]], (kInitial[line] & ~1u) | kLevels[code][line]);
        }
    }
}

TEST_F(SetLedTest, ALineAlreadyAtItsLevelIsStillWrittenAndRepeatsAreIdentical) {
    init();
    for (int code = 0; code < 8; ++code) {
        SCOPED_TRACE("code " + std::to_string(code));
        SetLED(static_cast<LedColorCode>(code));
        const Journal first = take_journal();
        SetLED(static_cast<LedColorCode>(code));
        const Journal second = take_journal();
        EXPECT_EQ(second.size(), 10u);
        EXPECT_EQ(first, second);
    }
}

TEST_F(SetLedTest, CodesAboveSevenTouchNothing) {
    init();
    for (int code = 8; code <= 255; ++code) {
        SetLED(static_cast<LedColorCode>(code));
    }
    EXPECT_EQ(take_journal(), Journal{});
    for (int line = 0; line < 4; ++line) {
        EXPECT_EQ(fake_world().registers[kLine[line]], kInitial[line]);
    }
}

TEST_F(SetLedTest, ALineWhoseReadFailsIsNotWrittenAndTheOthersStillAre) {
    init();
    for (int failing = 0; failing < 4; ++failing) {
        for (int code = 0; code < 8; ++code) {
            SCOPED_TRACE("code " + std::to_string(code) + ", read of line " + std::to_string(failing) + " fails");
            for (int line = 0; line < 4; ++line) {
                fake_world().registers[kLine[line]] = kInitial[line];
            }
            fake_world().failing_reads = {kLine[failing]};
            SetLED(static_cast<LedColorCode>(code));

            Journal expected = expected_traffic(code, kInitial);
            expected.erase(expected.begin() + 2 * failing + 2);
            EXPECT_EQ(take_journal(), expected);
            EXPECT_EQ(fake_world().registers[kLine[failing]], kInitial[failing]);
        }
    }
}

TEST_F(SetLedTest, UnusableEntriesAreNeverCalled) {
    struct Case {
        const char* name;
        void (*arrange)();
    };
    const Case cases[] = {
        {"before any Init", [] {}},
        {"after DeInit", [] {
             Init();
             DeInit();
         }},
        {"after an Init whose WinIo64.dll did not load, entries from an earlier Init still held", [] {
             Init();
             fake_world().missing_libraries = {"WinIo64.dll"};
             Init();
         }},
        {"WinIo64.dll lacks GetPhysLong", [] {
             fake_world().missing_entries = {"GetPhysLong"};
             Init();
         }},
        {"WinIo64.dll lacks SetPhysLong", [] {
             fake_world().missing_entries = {"SetPhysLong"};
             Init();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.arrange();
        take_journal();
        for (int code = 0; code < 8; ++code) {
            SetLED(static_cast<LedColorCode>(code));
        }
        EXPECT_EQ(take_journal(), Journal{});
    }
}

TEST_F(SetLedTest, ALockThatCannotBeHadIsReportedAndTheLinesAreStillDriven) {
    init();
    fake_world().register_lock_available = false;
    SetLED(LED_COLOR_BLUE);
    Journal expected = expected_traffic(LED_COLOR_BLUE, kInitial);
    expected.insert(expected.begin() + 1,
                    "err SetLED :: Could not take the LED register lock within 2000 ms; going on without it.\n");
    expected.pop_back();  // nothing to release
    EXPECT_EQ(take_journal(), expected);
}

TEST_F(SetLedTest, WorksWhenOnlyThePortIoLibraryFailedToLoad) {
    fake_world().missing_libraries = {"inpoutx64.dll"};
    EXPECT_EQ(Init(), 0);
    take_journal();
    SetLED(LED_COLOR_RED);
    EXPECT_EQ(take_journal(), expected_traffic(LED_COLOR_RED, kInitial));
}

}  // namespace
