// The service's state on disk: what is in force, so that after a restart (a crash, a reboot) the
// LED shows what was last asked. It is kept in two files: the state file, a snapshot of every
// indication in force up to a generation, and its journal beside it, one line for each change
// since, appended as changes are made. Each indication is kept as the request line that sets it,
// with the wall-clock times it was set and expires; reading back puts every line through the
// protocol's own parser, so nothing in them is trusted that a client could not have asked. Pure.
#pragma once

#include "indications.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace service {

using WallTime = std::chrono::system_clock::time_point;

// No state file of this service is larger: each of the at most 1024 indications in force is one
// entry of its request line (at most 1024 bytes), its owner's id and name, and two times, well
// within 4 KiB.
constexpr std::size_t kMaxStateBytes = 4 << 20;
// The journal is folded into a new state file once it is longer than this, and so never grows much
// longer: by one group of changes, each of at most 512 connections' one request.
constexpr std::size_t kJournalFoldBytes = 1 << 20;
// A longer journal is not this service's.
constexpr std::size_t kMaxJournalBytes = 8 << 20;

// One change as the journal keeps it: an indication set under its key, or cleared by its owner.
struct JournalRecord {
    std::uint64_t generation = 0;         // the change's: every change has a number of its own, in order
    Indications::Key key;                 // name, owner id
    std::string entry;                    // the indication's entry in the state file; empty: cleared
    std::optional<long long> ends_at_ms;  // when it ends of itself, by the wall clock; none: never
};

JournalRecord set_record(std::uint64_t generation, const Indication& indication, Time now, WallTime wall_now);
JournalRecord cleared_record(std::uint64_t generation, const Indications::Key& key);

// The journal's line of a record, with its line feed.
std::string journal_line(const JournalRecord& record);

// The state file's text: the entries in the order they were set, holding every change up to
// `generation`.
std::string state_text(std::uint64_t generation, const std::vector<const std::string*>& entries);

// What restoring found besides the indications.
struct Restored {
    std::uint64_t generation = 0;  // the last change kept: the next is numbered after it
    bool torn_record = false;      // the journal's last line was cut short (a crash while writing it) and dropped
};

// Puts back among the indications what the state file (none: there is none) and its journal hold, each indication as
// far into its steps and its life as the wall clock says it would be; those that have ended since are left out. Returns
// false, with why, when either is not one this service writes (a torn last line of the journal aside); nothing is put
// back then.
bool restore_state(Indications& indications, const std::optional<std::string>& state, const std::string& journal,
                   Time now, WallTime wall_now, Restored& restored, std::string& why);

}  // namespace service
