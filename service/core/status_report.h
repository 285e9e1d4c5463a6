// What `status` answers: every indication in force (owner, name, priority, steps, cycles, what it
// shows now, how long it has left), the one showing, the colour shown, and what the LED read back.
// Written as text at once, with no document built first: with every indication the service may
// hold in force it is its largest reply, made again whenever what it reports changes.
// Pure.
#pragma once

#include "indications.h"

#include <optional>
#include <string>

namespace service {

// The JSON object of a status reply at `now`; `read_back` none when the LED could not be read in time.
std::string status_payload(const Indications& indications, Time now, std::optional<LedColorCode> read_back);

}  // namespace service
