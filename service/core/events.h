// What watchers are told: each change of what is in force, with what the LED shows after it. Steps
// of a blink or pattern are not changes: they would flood; status shows them.
#pragma once

#include "client.h"
#include "indications.h"

#include <cstdint>
#include <string>
#include <vector>

namespace service {

struct Event {
    enum class Kind { set, cleared, expired, ended, restored };
    Kind kind;
    std::string name;
    Owner owner;
    // What shows after the change: the indication's name and owner (empty when none shows), and
    // its colour.
    std::string showing;
    std::string showing_owner;
    LedColorCode color;
};

// The event of `kind` for `indication`, with what shows at `now`.
Event event_of(Event::Kind kind, const Indication& indication, const Indications& indications, Time now);

// The line a watcher reads: "event JSON", numbered `seq`.
std::string event_line(const Event& event, std::uint64_t seq);

}  // namespace service
