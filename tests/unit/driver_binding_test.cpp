// Init and DeInit against the recording fake: exact journals of loads, waits, driver calls and
// lines, and what SetLED can do after each outcome.
#include "kav_morv_led.h"
#include "led_logic_test.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <functional>
#include <thread>

namespace {

using DriverBindingTest = LedLogicTest;

const std::string kLoadBoth[] = {"load WinIo64.dll", "load inpoutx64.dll", "err InitDll :: Loading WinIo64.dll.\n"};
const Journal kBindWinIo = {"err InitDll :: Load WinIo.dll Library successfully.\n"};
const Journal kFailureTail = {"sleep 500", "err Init :: Failed To Load WinIo64.dll Library.\n"};
const std::string kPortIoLoaded = "err InitDll :: Load inpout32 Library successfully.\n";
const std::string kUnloadFailed = "err DeInit :: Failed To Unload dll Libraries.\n";
const std::string kWinIoNotFound = std::string("WinIo64.dll could not be loaded: ") + kFakeNotFound;
const std::string kPortIoNotFound = std::string("inpoutx64.dll could not be loaded: ") + kFakeNotFound;
const char* const kNoLoadToUndo = "could not be unloaded: it is not loaded, so there is no load of it for this "
                                  "DeInit to undo.";

Journal concat(std::initializer_list<Journal> parts) {
    Journal all;
    for (const Journal& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const Journal kLoads(std::begin(kLoadBoth), std::end(kLoadBoth));

// The journal as a caller of the library could tell it: how the library finds its entries is its
// own business.
Journal observed() {
    Journal journal = take_journal();
    journal.erase(std::remove_if(journal.begin(), journal.end(),
                                 [](const std::string& line) { return line.rfind("find ", 0) == 0; }),
                  journal.end());
    return journal;
}

// GetLEDError on this thread: exactly `error`, or, when it starts with "...", ending in the rest.
void expect_error(const std::string& error) {
    if (error.rfind("...", 0) == 0) {
        EXPECT_THAT(GetLEDError(), ::testing::EndsWith(error.substr(3)));
    } else {
        EXPECT_EQ(GetLEDError(), error);
    }
}

TEST_F(DriverBindingTest, InitWritesTheExactSequenceForEachOutcome) {
    struct Case {
        const char* name;
        std::function<void(FakeWorld&)> arrange;
        bool ready;
        Journal journal;
        std::string error;  // what GetLEDError gives after it: the whole sentence, or where it ends ("...")
    };
    const Case cases[] = {
        {"both libraries load and WinIo starts", [](FakeWorld&) {}, true,
         concat({kLoads, kBindWinIo,
                 {kPortIoLoaded, "sleep 500", "InitializeWinIo", "err Init :: InitializeWinIo successfully.\n"}}),
         ""},
        {"WinIo64.dll does not load", [](FakeWorld& w) { w.missing_libraries = {"WinIo64.dll"}; }, false,
         concat({kLoads, {"err InitDll :: Failed To Load WinIo.dll Library.\n"}, kFailureTail}), kWinIoNotFound + "."},
        {"neither library loads", [](FakeWorld& w) { w.missing_libraries = {"WinIo64.dll", "inpoutx64.dll"}; }, false,
         concat({kLoads, {"err InitDll :: Failed To Load WinIo.dll Library.\n"}, kFailureTail}),
         kWinIoNotFound + "; and " + kPortIoNotFound + "."},
        {"inpoutx64.dll does not load", [](FakeWorld& w) { w.missing_libraries = {"inpoutx64.dll"}; }, false,
         concat({kLoads, kBindWinIo, {"err InitDll :: Failed To Load inpout32 Library.\n"}, kFailureTail}),
         kPortIoNotFound + "."},
        {"InitializeWinIo reports failure", [](FakeWorld& w) { w.initialize_succeeds = false; }, false,
         concat({kLoads, kBindWinIo,
                 {kPortIoLoaded, "sleep 500", "InitializeWinIo", "err Init :: Fail to InitializeWinIo.\n"}}),
         "...does not run with administrator rights or the kernel driver that comes with WinIo64.dll is missing."},
        {"WinIo64.dll lacks InitializeWinIo", [](FakeWorld& w) { w.missing_entries = {"InitializeWinIo"}; }, false,
         concat({kLoads, kBindWinIo, {kPortIoLoaded, "sleep 500", "err Init :: Fail to InitializeWinIo.\n"}}),
         "...WinIo64.dll has no entry named InitializeWinIo, so it is not the physical-memory driver library."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_over();
        c.arrange(fake_world());
        EXPECT_EQ(Init() != 0, c.ready);
        EXPECT_EQ(observed(), c.journal);
        expect_error(c.error);
    }
}

TEST_F(DriverBindingTest, DeInitWritesTheExactSequenceForEachOutcome) {
    const Journal kStopAndUnloadBoth = {"ShutdownWinIo", "sleep 200", "unload WinIo64.dll", "unload inpoutx64.dll"};
    struct Case {
        const char* name;
        std::function<void(FakeWorld&)> before_init;
        std::function<void(FakeWorld&)> before_deinit;
        std::uint8_t result;
        Journal journal;
        std::string error;  // what GetLEDError gives after it
    };
    const auto nothing = [](FakeWorld&) {};
    const std::string refused = std::string("could not be unloaded: ") + kFakeUnloadRefused + ".";
    const Case cases[] = {
        {"everything succeeds", nothing, nothing, 1, kStopAndUnloadBoth, ""},
        // Shutting down would end the access of the Init still open.
        {"an inner DeInit, another Init still open: no ShutdownWinIo", [](FakeWorld&) { Init(); }, nothing, 1,
         {"sleep 200", "unload WinIo64.dll", "unload inpoutx64.dll"}, ""},
        {"WinIo unload fails: the port-I/O unload is not attempted", nothing,
         [](FakeWorld& w) { w.failing_unloads = {"WinIo64.dll"}; }, 0,
         {"ShutdownWinIo", "sleep 200", "unload WinIo64.dll", kUnloadFailed}, "WinIo64.dll " + refused},
        {"port-I/O unload fails", nothing, [](FakeWorld& w) { w.failing_unloads = {"inpoutx64.dll"}; }, 0,
         concat({kStopAndUnloadBoth, {kUnloadFailed}}), "inpoutx64.dll " + refused},
        {"after an Init whose inpoutx64.dll did not load",
         [](FakeWorld& w) { w.missing_libraries = {"inpoutx64.dll"}; }, nothing, 0,
         {"ShutdownWinIo", "sleep 200", "unload WinIo64.dll", "unload null", kUnloadFailed},
         std::string("inpoutx64.dll ") + kNoLoadToUndo},
        {"after an Init whose WinIo64.dll did not load: ShutdownWinIo is not called",
         [](FakeWorld& w) { w.missing_libraries = {"WinIo64.dll"}; }, nothing, 0,
         {"sleep 200", "unload null", kUnloadFailed}, std::string("WinIo64.dll ") + kNoLoadToUndo},
        {"WinIo64.dll lacks ShutdownWinIo", [](FakeWorld& w) { w.missing_entries = {"ShutdownWinIo"}; }, nothing, 1,
         {"sleep 200", "unload WinIo64.dll", "unload inpoutx64.dll"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_over();
        c.before_init(fake_world());
        Init();
        take_journal();
        c.before_deinit(fake_world());
        EXPECT_EQ(DeInit(), c.result);
        EXPECT_EQ(observed(), c.journal);
        expect_error(c.error);
    }
}

TEST_F(DriverBindingTest, DeInitWithoutAnyInitCallsNothingAndReportsAFailedUnload) {
    EXPECT_EQ(DeInit(), 0);
    EXPECT_EQ(take_journal(), (Journal{"sleep 200", "unload null", kUnloadFailed}));
}

TEST_F(DriverBindingTest, SecondDeInitUnloadsNothingTwice) {
    Init();
    ASSERT_EQ(DeInit(), 1);
    take_journal();
    EXPECT_EQ(DeInit(), 0);
    EXPECT_EQ(take_journal(), (Journal{"sleep 200", "unload null", kUnloadFailed}));
    EXPECT_EQ(fake_world().load_count["WinIo64.dll"], 0);
    EXPECT_EQ(fake_world().load_count["inpoutx64.dll"], 0);
}

// After each outcome of Init, what SetLED can still do and what is left loaded.
TEST_F(DriverBindingTest, AfterEachOutcomeSetLedDrivesWhatWasLoaded) {
    FakeWorld& world = fake_world();
    const auto drives_the_lines = [] {
        take_journal();
        SetLED(LED_COLOR_GREEN);
        return observed().size() == 10;  // lock, four reads and writes, unlock
    };

    world.missing_libraries = {"inpoutx64.dll"};
    EXPECT_EQ(Init(), 0);
    EXPECT_TRUE(drives_the_lines()) << "WinIo64.dll is loaded and its entries usable";
    EXPECT_EQ(world.load_count["WinIo64.dll"], 1) << "a failed Init unloads nothing";

    world.missing_libraries = {"WinIo64.dll"};
    EXPECT_EQ(Init(), 0);
    EXPECT_FALSE(drives_the_lines()) << "no WinIo64.dll of this Init's to call into";

    world.missing_libraries = {};
    EXPECT_NE(Init(), 0);
    EXPECT_NE(Init(), 0);
    EXPECT_EQ(world.load_count["WinIo64.dll"], 3) << "every Init loads again";
    EXPECT_EQ(world.load_count["inpoutx64.dll"], 3);
    EXPECT_TRUE(drives_the_lines());

    EXPECT_EQ(DeInit(), 1);
    EXPECT_EQ(DeInit(), 1);
    EXPECT_FALSE(drives_the_lines()) << "the Inits that loaded WinIo64.dll are undone";
    // Two loads have no DeInit of their own: WinIo64.dll's from the first Init, whose handle the
    // second Init overwrote, and inpoutx64.dll's from the second Init, whose WinIo64.dll did not load.
    EXPECT_EQ(world.load_count["WinIo64.dll"], 1);
    EXPECT_EQ(world.load_count["inpoutx64.dll"], 1);
}

TEST_F(DriverBindingTest, EachDeInitUndoesOneInit) {
    ASSERT_NE(Init(), 0);
    ASSERT_NE(Init(), 0);
    EXPECT_EQ(DeInit(), 1);
    take_journal();
    SetLED(LED_COLOR_RED);
    EXPECT_EQ(take_journal().size(), 10u) << "one Init is still in force, hardware access included";

    EXPECT_EQ(DeInit(), 1);
    EXPECT_EQ(fake_world().load_count["WinIo64.dll"], 0);
    EXPECT_EQ(fake_world().load_count["inpoutx64.dll"], 0);
    take_journal();
    SetLED(LED_COLOR_RED);
    EXPECT_EQ(take_journal(), Journal{});
}

// The sentence is kept in 1024 bytes with its end: a longer one is cut before a character, never
// in one.
TEST_F(DriverBindingTest, GetLEDErrorKeepsAtMost1023BytesOfWholeCharacters) {
    const std::string before = "WinIo64.dll could not be loaded: ";
    struct Case {
        std::string reason;    // what the system says
        std::size_t kept;      // bytes of the sentence GetLEDError gives
    };
    const Case cases[] = {
        {std::string(1023 - before.size() - 1, 'x'), 1023},         // the sentence, "." included, fits
        {std::string(1023 - before.size(), 'x'), 1023},             // one byte over: its "." goes
        {std::string(1023 - before.size() - 2, 'x') + "\u20ac", 1021},  // a 3-byte character across the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kept);
        start_over();
        fake_world().missing_libraries = {"WinIo64.dll"};
        fake_world().not_found_reason = c.reason;
        Init();
        const std::string sentence = before + c.reason + ".";
        EXPECT_EQ(GetLEDError(), sentence.substr(0, c.kept));
        DeInit();
    }
}

// A failure's sentence lasts only until the thread's next Init or DeInit that works.
TEST_F(DriverBindingTest, GetLEDErrorIsEmptyAgainAfterALaterSuccess) {
    struct Case {
        const char* name;
        std::function<void(FakeWorld&)> break_it;
        std::function<std::uint8_t()> failing;
        std::function<std::uint8_t()> then_working;  // called with the world mended
    };
    const auto init = [] { return Init(); };
    const auto deinit = [] { return DeInit(); };
    const auto init_then_deinit = [] {
        Init();
        return DeInit();
    };
    const Case cases[] = {
        {"a failed Init, then one that works", [](FakeWorld& w) { w.initialize_succeeds = false; }, init, init},
        {"a failed Init, then a DeInit that works", [](FakeWorld& w) { w.initialize_succeeds = false; }, init,
         deinit},
        {"a failed DeInit, then an Init that works", [](FakeWorld& w) { w.failing_unloads = {"WinIo64.dll"}; },
         init_then_deinit, init},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_over();
        c.break_it(fake_world());
        ASSERT_EQ(c.failing(), 0);
        ASSERT_STRNE(GetLEDError(), "");
        fake_world().initialize_succeeds = true;
        fake_world().failing_unloads = {};
        EXPECT_EQ(c.then_working(), 1);
        EXPECT_STREQ(GetLEDError(), "");
        DeInit();
    }
}

TEST_F(DriverBindingTest, GetLEDErrorBelongsToTheCallingThread) {
    ASSERT_NE(Init(), 0);  // this thread's last call succeeded
    fake_world().missing_libraries = {"WinIo64.dll"};
    std::thread([] { Init(); }).join();
    EXPECT_STREQ(GetLEDError(), "") << "another thread's failure";
    EXPECT_EQ(Init(), 0);
    EXPECT_STRNE(GetLEDError(), "");
}

TEST_F(DriverBindingTest, FailedWinIoUnloadKeepsItsEntriesForTheNextDeInit) {
    Init();
    fake_world().failing_unloads = {"WinIo64.dll"};
    EXPECT_EQ(DeInit(), 0);
    fake_world().failing_unloads = {};
    take_journal();
    EXPECT_EQ(DeInit(), 1);
    EXPECT_EQ(take_journal(),
              (Journal{"ShutdownWinIo", "sleep 200", "unload WinIo64.dll", "unload inpoutx64.dll"}));
}

}  // namespace
