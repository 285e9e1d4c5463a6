// The tester against the recording fake: what it loads and binds, its waits, and the order of its
// calls into the library, which a client must keep.
#include "led_logic_test.h"
#include "program_entry.h"

#include <functional>
#include <string>
#include <vector>

namespace {

using TesterSequenceTest = LedLogicTest;

int run_tester(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "KAV_MORV_LED_ConsoleTester");
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);
    // Its lines are the end-to-end table's business; here they would only clutter the report.
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    const int status = program_main(static_cast<int>(arguments.size()), argv.data());
    static_cast<void>(::testing::internal::GetCapturedStdout());
    static_cast<void>(::testing::internal::GetCapturedStderr());
    return status;
}

TEST_F(TesterSequenceTest, LoadsBindsWaitsCallsInOrderAndWaitsBeforeUnloading) {
    const Journal load_and_bind = {"load kav_rv5520_led.dll", "find Init", "find DeInit", "find SetLED"};
    const auto with = [&load_and_bind](const Journal& calls) {
        Journal journal = load_and_bind;
        journal.push_back("sleep 300");
        journal.insert(journal.end(), calls.begin(), calls.end());
        journal.insert(journal.end(), {"DeInit", "sleep 300", "unload kav_rv5520_led.dll"});
        return journal;
    };
    const Journal sets_red = {"Init", "hold interrupts", "SetLED 1", "release interrupts"};
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::function<void(FakeWorld&)> arrange;
        Journal journal;
        int status;
    };
    const auto nothing = [](FakeWorld&) {};
    const Case cases[] = {
        {"red", {"red"}, nothing, with(sets_red), 0},
        {"PURPLE", {"PURPLE"}, nothing, with({"Init", "hold interrupts", "SetLED 7", "release interrupts"}), 0},
        {"no keyword: usage, and still Init and DeInit", {}, nothing, with({"Init"}), 0},
        {"Init fails: the run goes on, the status says so", {"red"},
         [](FakeWorld& w) { w.library_init_result = 0; }, with(sets_red), 1},
        {"DeInit fails: the status stays 0", {"red"}, [](FakeWorld& w) { w.library_deinit_result = 0; },
         with(sets_red), 0},
        {"the library does not load", {"red"}, [](FakeWorld& w) { w.missing_libraries = {"kav_rv5520_led.dll"}; },
         {"load kav_rv5520_led.dll"}, 1},
        {"the library lacks SetLED: nothing is called", {"red"},
         [](FakeWorld& w) { w.missing_entries = {"SetLED"}; },
         {"load kav_rv5520_led.dll", "find Init", "find DeInit", "find SetLED", "unload kav_rv5520_led.dll"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_over();
        c.arrange(fake_world());
        EXPECT_EQ(run_tester(c.arguments), c.status);
        EXPECT_EQ(take_journal(), c.journal);
        EXPECT_EQ(fake_world().load_count["kav_rv5520_led.dll"], 0) << "the library is unloaded before exit";
    }
}

}  // namespace
