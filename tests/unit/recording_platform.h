// A fake operating system and WinIo for the library's logic: loads, entries, unloads, sleeps and
// status lines are all recorded, in order, in one journal; any of them can be made to fail.
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
    // "write FD6E0830 44000201", "unlock", "err <line>", "unload inpoutx64.dll".
    Journal journal;

    std::set<std::string> missing_libraries;
    std::set<std::string> failing_unloads;
    std::set<std::string> missing_entries;
    platform::LockAttempt lock_attempt = {platform::LockOutcome::taken, nullptr};
    bool initialize_succeeds = true;
    bool shutdown_succeeds = true;
    std::set<std::uintptr_t> failing_reads;
    std::map<std::uintptr_t, std::uint32_t> registers;

    // Entries called while their library was not loaded; must stay zero.
    int calls_into_unloaded_code = 0;
    // Loads minus successful unloads, per library file name.
    std::map<std::string, int> load_count;
};

// The one fake world the platform functions act on; reset before each test.
FakeWorld& fake_world();
void reset_fake_world();

// A 32-bit value as the journal writes it: eight upper-case hex digits.
std::string hex32(std::uint32_t value);

// Journal lines written since the last call, cleared afterwards.
Journal take_journal();
