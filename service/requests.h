// What the service does with a request, on the board, and the reply it gives. Pure, like the board.
#pragma once

#include "board.h"
#include "protocol.h"

#include <functional>
#include <optional>
#include <string>

namespace service {

// Who sent a request, as the system tells.
struct Client {
    Owner owner;
    bool privileged = false;  // root, SYSTEM or an Administrator: may clear anyone's indication
    std::string description;  // for the log: "user alice (uid 1000), process 4242"
};

// What comes of a request: its reply, and when that may be sent.
struct Answer {
    enum class When {
        now,              // at once
        once_shown,       // once the LED shows what the board says now and reads it back
        after_read_back,  // status: finish() makes the reply from what the LED reads back
    };
    When when = When::now;
    std::string reply;
    bool changed = false;  // the board changed: the LED, the log and the state file follow it
    // For after_read_back: the reply, given what the LED reads back (none: it could not be read in time).
    std::function<std::string(std::optional<LedColorCode>)> finish;
};

// Carries out a request of `client`'s on the board at `now`.
Answer carry_out(Board& board, const protocol::Request& request, const Client& client, Time now);

}  // namespace service
