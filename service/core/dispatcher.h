// The service's one request path: a client's line is parsed, applied to the indications in force,
// and answered, with the moment its reply may go (at once, once the LED shows it, after the LED
// is read back, or as the start of a watch). Also what the passing of time does, and what the LED
// is left showing at a stop. Pure, like the indications: it is told the time.
#pragma once

#include "client.h"
#include "events.h"
#include "indications.h"
#include "line_reader.h"

#include <optional>
#include <string>
#include <vector>

namespace service {

// A line for the log, about what a user did or owns: each user's lines are rationed.
struct LogLine {
    std::string user;  // "alice (1000)"
    std::string text;
};

// What changed in force: lines for the log, and events for those who watch.
struct Changes {
    std::vector<LogLine> log;
    std::vector<Event> events;
};

struct Answer {
    enum class When {
        now,              // at once
        once_shown,       // once the LED has been set and read back: see reply_once_shown
        after_read_back,  // status: the reply is made from what is in force and the LED reads back
        watching,         // the reply starts a watch: events follow it on the connection
    };
    When when = When::now;
    std::string reply;
    std::string command;            // the request's command word, "-" when it names none
    bool in_force_changed = false;  // what is in force changed: the LED follows it
    Changes changes;                // indications that ended, then the change asked
};

// Answers one line of `client`'s at `now`, having first let go of what has ended by then.
Answer dispatch(Indications& indications, const protocol::LineReader::Line& line, const Client& client, Time now);

// A change's reply once the LED has been set to `set` and read back, and the state file written
// (`unsaved` saying why not, when it could not be): the answer's own, or an error that says the LED
// did not take it or the change would not outlive a restart. Either way it stays in force.
std::string reply_once_shown(const Answer& answer, LedColorCode set, LedColorCode read_back,
                             const std::string& unsaved);

// Lets go of what has ended by `now`, saying so.
Changes remove_ended(Indications& indications, Time now);

// Events of what a state file brought back, with what shows at `now`.
std::vector<Event> restored(const Indications& indications, Time now);

// What the LED is left showing when the service stops: nothing new (none) while a steady colour or
// nothing shows; off instead of a blink or pattern, which would otherwise stand still mid-step,
// with `log_line` set to say so.
std::optional<LedColorCode> color_to_leave(const Indications& indications, Time now, std::string& log_line);

}  // namespace service
