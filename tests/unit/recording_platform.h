// A fake operating system, WinIo and LED library for the library's and the tester's logic: loads,
// entries, unloads, sleeps and status lines are all recorded, in order, in one journal; any of
// them can be made to fail.
#pragma once

#include "platform.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

using Journal = std::vector<std::string>;

struct FakeWorld {
    // What happened, in order: "load WinIo64.dll", "find GetPhysLong", "sleep 500",
    // "InitializeWinIo", "lock kav_morv_led_registers 2000", "read FD6E0830",
    // "write FD6E0830 44000201", "unlock", "err <line>", "unload inpoutx64.dll", and for the
    // tester's library "Init", "SetLED 1", "DeInit", "hold interrupts", "release interrupts".
    Journal journal;

    std::set<std::string> missing_libraries;
    // What the fake system says of a library it has not; kFakeNotFound when empty.
    std::string not_found_reason;
    std::set<std::string> failing_unloads;
    std::set<std::string> missing_entries;
    platform::LockAttempt lock_attempt = {platform::LockOutcome::taken, nullptr};
    bool initialize_succeeds = true;
    std::set<std::uintptr_t> failing_reads;
    std::map<std::uintptr_t, std::uint32_t> registers;
    // ShutdownWinIo ends hardware access for the whole process, as the real driver's does: reads
    // and writes then fail until the next InitializeWinIo.
    bool shut_down = false;

    // What the tester's library returns from Init and DeInit.
    std::uint8_t library_init_result = 1;
    std::uint8_t library_deinit_result = 1;

    // Entries called while their library was not loaded; must stay zero.
    int calls_into_unloaded_code = 0;
    // Loads minus successful unloads, per library file name.
    std::map<std::string, int> load_count;
};

// What the fake system says when a library is not there, and when it will not unload one.
constexpr const char* kFakeNotFound = "the fake system has no such library";
constexpr const char* kFakeUnloadRefused = "the fake system refuses";

// The one fake world the platform functions act on; reset before each test.
FakeWorld& fake_world();
void reset_fake_world();

// A 32-bit value as the journal writes it: eight upper-case hex digits.
std::string hex32(std::uint32_t value);

// Journal lines written since the last call, cleared afterwards.
Journal take_journal();
