// SetLED and GetLED against the recording fake: register traffic, order, preserved bits, unusable
// entries.
#include "kav_morv_led.h"
#include "led_line_oracle.h"
#include "led_logic_test.h"

namespace {

// Configuration bits different on every line, and bit 0 at both levels, so a swapped line or a
// level that is only ever set or only ever cleared shows.
constexpr sim::Registers kInitial = {0x44000201, 0x44000302, 0x84000A01, 0x40000C00};

class SetLedTest : public LedLogicTest {
protected:
    SetLedTest() { initial_registers = kInitial; }

    void init() {
        ASSERT_NE(Init(), 0);
        take_journal();
    }

    // The traffic a call with this code must make when every read succeeds.
    static Journal expected_traffic(int code) {
        Journal journal{"lock kav_morv_led_registers 2000"};
        for (std::size_t line = 0; line < sim::kLineCount; ++line) {
            const std::uint32_t value = (kInitial[line] & ~1u) | static_cast<std::uint32_t>(kLevels[code][line]);
            journal.push_back("read " + hex32(sim::kLineAddress[line]));
            journal.push_back("write " + hex32(sim::kLineAddress[line]) + " " + hex32(value));
        }
        journal.push_back("unlock");
        return journal;
    }
};

TEST_F(SetLedTest, EveryCodeReadsThenWritesEachLineInOrderChangingOnlyBitZero) {
    init();
    for (int code = 0; code < 8; ++code) {
        SCOPED_TRACE("code " + std::to_string(code));
        set_registers(kInitial);
        SetLED(static_cast<LedColorCode>(code));
        EXPECT_EQ(take_journal(), expected_traffic(code));
        for (std::size_t line = 0; line < sim::kLineCount; ++line) {
            EXPECT_EQ(fake_world().registers[sim::kLineAddress[line]], (kInitial[line] & ~1u) | kLevels[code][line]);
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
    for (std::size_t line = 0; line < sim::kLineCount; ++line) {
        EXPECT_EQ(fake_world().registers[sim::kLineAddress[line]], kInitial[line]);
    }
}

TEST_F(SetLedTest, ALineWhoseReadFailsIsNotWrittenAndTheOthersStillAre) {
    init();
    for (std::size_t failing = 0; failing < sim::kLineCount; ++failing) {
        for (int code = 0; code < 8; ++code) {
            SCOPED_TRACE("code " + std::to_string(code) + ", read of line " + std::to_string(failing) + " fails");
            set_registers(kInitial);
            fake_world().failing_reads = {sim::kLineAddress[failing]};
            SetLED(static_cast<LedColorCode>(code));

            Journal expected = expected_traffic(code);
            expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(2 * failing + 2));
            EXPECT_EQ(take_journal(), expected);
            EXPECT_EQ(fake_world().registers[sim::kLineAddress[failing]], kInitial[failing]);
        }
    }
}

TEST_F(SetLedTest, UnusableEntriesAreNeverCalled) {
    struct Case {
        const char* name;
        void (*arrange)();
        bool reads_back = false;  // GetLED needs GetPhysLong alone
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
        {"WinIo64.dll lacks SetPhysLong",
         [] {
             fake_world().missing_entries = {"SetPhysLong"};
             Init();
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_over();
        c.arrange();
        take_journal();
        for (int code = 0; code < 8; ++code) {
            SetLED(static_cast<LedColorCode>(code));
        }
        EXPECT_EQ(take_journal(), Journal{});
        if (!c.reads_back) {
            EXPECT_EQ(GetLED(), LED_COLOR_UNKNOWN);
            EXPECT_EQ(take_journal(), Journal{});
        }
    }
}

TEST_F(SetLedTest, GetLedReadsBackTheCodeWhosePatternTheLinesHold) {
    init();
    const Journal read_four = {"lock kav_morv_led_registers 2000", "read FD6E0830", "read FD6E0840",
                               "read FD6E0850", "read FD6E0860", "unlock"};
    for (int code = 0; code < 8; ++code) {
        SCOPED_TRACE("code " + std::to_string(code));
        SetLED(static_cast<LedColorCode>(code));
        take_journal();
        EXPECT_EQ(GetLED(), code);
        EXPECT_EQ(take_journal(), read_four);
    }
    struct Case {
        const char* name;
        sim::Registers registers;
        std::set<std::uintptr_t> failing_reads;
    };
    const Case cases[] = {
        {"enabled with no channel lit: no colour", {0x44000200, 0x44000203, 0x84000A01, 0x40000301}, {}},
        {"the red line cannot be read", kInitial, {sim::kLineAddress[1]}},
        {"the enable line cannot be read", kInitial, {sim::kLineAddress[0]}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        set_registers(c.registers);
        fake_world().failing_reads = c.failing_reads;
        EXPECT_EQ(GetLED(), LED_COLOR_UNKNOWN);
    }
}

TEST_F(SetLedTest, WithoutTheMachineWideLockItSaysWhyAndStillDrivesTheLines) {
    struct Case {
        platform::LockAttempt attempt;
        const char* line;
    };
    const Case cases[] = {
        {{platform::LockOutcome::timed_out, nullptr},
         "err SetLED :: Could not take the LED register lock within 2000 ms; going on without it.\n"},
        {{platform::LockOutcome::unusable, "its file is not a regular file"},
         "err SetLED :: The LED register lock cannot be used (its file is not a regular file); going on without "
         "it.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        start_over();
        init();
        fake_world().lock_attempt = c.attempt;
        SetLED(LED_COLOR_BLUE);
        Journal expected = expected_traffic(LED_COLOR_BLUE);
        expected.insert(expected.begin() + 1, c.line);
        expected.pop_back();  // nothing to release
        EXPECT_EQ(take_journal(), expected);
    }
}

TEST_F(SetLedTest, WorksWhenOnlyThePortIoLibraryFailedToLoad) {
    fake_world().missing_libraries = {"inpoutx64.dll"};
    EXPECT_EQ(Init(), 0);
    take_journal();
    SetLED(LED_COLOR_RED);
    EXPECT_EQ(take_journal(), expected_traffic(LED_COLOR_RED));
}

}  // namespace
