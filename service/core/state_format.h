// The service's state file: what is in force, so that after a restart (a crash, a reboot) the
// LED shows what was last asked. Each indication is kept as the request line that sets it, with
// the wall-clock times it was set and expires; reading the file back puts every line through the
// protocol's own parser, so nothing in it is trusted that a client could not have asked. Pure.
#pragma once

#include "indications.h"

#include <chrono>
#include <cstddef>
#include <string>

namespace service {

using WallTime = std::chrono::system_clock::time_point;

// No state file of this service is larger: each of the at most 1024 indications in force is one
// entry of its request line (at most 1024 bytes), its owner's id and name, and two times, well
// within 4 KiB.
constexpr std::size_t kMaxStateBytes = 4 << 20;

// The file's text for the indications active at `now` (the steady clock's), `wall_now` being the
// same moment by the wall clock.
std::string state_text(const Indications& indications, Time now, WallTime wall_now);

// Puts back among the indications what `text` holds, each indication as far into its steps and its life as
// the wall clock says it would be; those that have ended since are left out. Returns false, with
// why, when the text is not a whole state file; nothing is put back then.
bool restore_state(Indications& indications, const std::string& text, Time now, WallTime wall_now, std::string& why);

}  // namespace service
