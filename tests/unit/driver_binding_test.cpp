// Init and DeInit against the recording fake: exact journals of loads, binds, waits and lines.
#include "kav_morv_led.h"
#include "led_logic_test.h"

#include <functional>

namespace {

using DriverBindingTest = LedLogicTest;

const std::string kLoadBoth[] = {"load WinIo64.dll", "load inpoutx64.dll", "err InitDll :: Loading WinIo64.dll.\n"};
const Journal kBindWinIo = {"err InitDll :: Load WinIo.dll Library successfully.\n", "find InitializeWinIo",
                            "find GetPhysLong", "find SetPhysLong", "find ShutdownWinIo"};
const Journal kFailureTail = {"sleep 500", "err Init :: Failed To Load WinIo64.dll Library.\n"};
const std::string kPortIoLoaded = "err InitDll :: Load inpout32 Library successfully.\n";
const std::string kUnloadFailed = "err DeInit :: Failed To Unload dll Libraries.\n";

Journal concat(std::initializer_list<Journal> parts) {
    Journal all;
    for (const Journal& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const Journal kLoads(std::begin(kLoadBoth), std::end(kLoadBoth));

TEST_F(DriverBindingTest, InitWritesTheExactSequenceForEachOutcome) {
    struct Case {
        const char* name;
        std::function<void(FakeWorld&)> arrange;
        bool ready;
        Journal journal;
    };
    const Case cases[] = {
        {"both libraries load and WinIo starts", [](FakeWorld&) {}, true,
         concat({kLoads, kBindWinIo,
                 {kPortIoLoaded, "sleep 500", "InitializeWinIo", "err Init :: InitializeWinIo successfully.\n"}})},
        {"WinIo64.dll does not load", [](FakeWorld& w) { w.missing_libraries = {"WinIo64.dll"}; }, false,
         concat({kLoads, {"err InitDll :: Failed To Load WinIo.dll Library.\n"}, kFailureTail})},
        {"neither library loads", [](FakeWorld& w) { w.missing_libraries = {"WinIo64.dll", "inpoutx64.dll"}; }, false,
         concat({kLoads, {"err InitDll :: Failed To Load WinIo.dll Library.\n"}, kFailureTail})},
        {"inpoutx64.dll does not load", [](FakeWorld& w) { w.missing_libraries = {"inpoutx64.dll"}; }, false,
         concat({kLoads, kBindWinIo, {"err InitDll :: Failed To Load inpout32 Library.\n"}, kFailureTail})},
        {"InitializeWinIo reports failure", [](FakeWorld& w) { w.initialize_succeeds = false; }, false,
         concat({kLoads, kBindWinIo,
                 {kPortIoLoaded, "sleep 500", "InitializeWinIo", "err Init :: Fail to InitializeWinIo.\n"}})},
        {"WinIo64.dll lacks InitializeWinIo", [](FakeWorld& w) { w.missing_entries = {"InitializeWinIo"}; }, false,
         concat({kLoads, kBindWinIo, {kPortIoLoaded, "sleep 500", "err Init :: Fail to InitializeWinIo.\n"}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_over();
        c.arrange(fake_world());
        EXPECT_EQ(Init() != 0, c.ready);
        EXPECT_EQ(take_journal(), c.journal);
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
    };
    const auto nothing = [](FakeWorld&) {};
    const Case cases[] = {
        {"everything succeeds", nothing, nothing, 1, kStopAndUnloadBoth},
        {"ShutdownWinIo fails, unloads succeed", nothing, [](FakeWorld& w) { w.shutdown_succeeds = false; }, 1,
         {"ShutdownWinIo", "err DeInit :: Fail to ShutdownWinIo.\n", "sleep 200", "unload WinIo64.dll",
          "unload inpoutx64.dll"}},
        {"WinIo unload fails: the port-I/O unload is not attempted", nothing,
         [](FakeWorld& w) { w.failing_unloads = {"WinIo64.dll"}; }, 0,
         {"ShutdownWinIo", "sleep 200", "unload WinIo64.dll", kUnloadFailed}},
        {"port-I/O unload fails", nothing, [](FakeWorld& w) { w.failing_unloads = {"inpoutx64.dll"}; }, 0,
         concat({kStopAndUnloadBoth, {kUnloadFailed}})},
        {"after an Init whose inpoutx64.dll did not load",
         [](FakeWorld& w) { w.missing_libraries = {"inpoutx64.dll"}; }, nothing, 0,
         {"ShutdownWinIo", "sleep 200", "unload WinIo64.dll", "unload null", kUnloadFailed}},
        {"after an Init whose WinIo64.dll did not load: ShutdownWinIo is not called",
         [](FakeWorld& w) { w.missing_libraries = {"WinIo64.dll"}; }, nothing, 0,
         {"sleep 200", "unload null", kUnloadFailed}},
        {"WinIo64.dll lacks ShutdownWinIo", [](FakeWorld& w) { w.missing_entries = {"ShutdownWinIo"}; }, nothing, 1,
         {"sleep 200", "unload WinIo64.dll", "unload inpoutx64.dll"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start_over();
        c.before_init(fake_world());
        Init();
        take_journal();
        c.before_deinit(fake_world());
        EXPECT_EQ(DeInit(), c.result);
        EXPECT_EQ(take_journal(), c.journal);
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

TEST_F(DriverBindingTest, StateAfterEachOutcomeKeepsWhatWasLoaded) {
    FakeWorld& world = fake_world();
    const led::DriverBinding& binding = led::driver_binding();

    world.missing_libraries = {"inpoutx64.dll"};
    EXPECT_EQ(Init(), 0);
    EXPECT_NE(binding.winio_module, nullptr);
    EXPECT_EQ(binding.port_io_module, nullptr);
    EXPECT_NE(binding.get_phys_long, nullptr);
    EXPECT_NE(binding.shutdown_winio, nullptr);
    EXPECT_EQ(world.load_count["WinIo64.dll"], 1) << "a failed Init unloads nothing";

    world.missing_libraries = {"WinIo64.dll"};
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(binding.winio_module, nullptr);
    EXPECT_NE(binding.port_io_module, nullptr);
    EXPECT_NE(binding.set_phys_long, nullptr) << "entries stay as the earlier Init left them";

    world.missing_libraries = {};
    EXPECT_NE(Init(), 0);
    EXPECT_NE(Init(), 0);
    EXPECT_EQ(world.load_count["WinIo64.dll"], 3) << "every Init loads again";
    EXPECT_EQ(world.load_count["inpoutx64.dll"], 3);

    EXPECT_EQ(DeInit(), 1);
    EXPECT_EQ(DeInit(), 1);
    EXPECT_EQ(binding.winio_module, nullptr);
    EXPECT_EQ(binding.initialize_winio, nullptr);
    EXPECT_EQ(binding.get_phys_long, nullptr);
    EXPECT_EQ(binding.set_phys_long, nullptr);
    EXPECT_EQ(binding.shutdown_winio, nullptr);
    // Two loads have no DeInit of their own: WinIo64.dll's from the first Init, whose handle the
    // second Init overwrote, and inpoutx64.dll's from the second Init, whose WinIo64.dll did not load.
    EXPECT_NE(binding.port_io_module, nullptr);
    EXPECT_EQ(world.load_count["WinIo64.dll"], 1);
    EXPECT_EQ(world.load_count["inpoutx64.dll"], 1);
}

TEST_F(DriverBindingTest, EachDeInitUndoesOneInit) {
    ASSERT_NE(Init(), 0);
    ASSERT_NE(Init(), 0);
    EXPECT_EQ(DeInit(), 1);
    take_journal();
    SetLED(LED_COLOR_RED);
    EXPECT_EQ(take_journal().size(), 10u) << "one Init is still in force";

    EXPECT_EQ(DeInit(), 1);
    EXPECT_EQ(fake_world().load_count["WinIo64.dll"], 0);
    EXPECT_EQ(fake_world().load_count["inpoutx64.dll"], 0);
    take_journal();
    SetLED(LED_COLOR_RED);
    EXPECT_EQ(take_journal(), Journal{});
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
