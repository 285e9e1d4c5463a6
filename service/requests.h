// What the service does with a request, on the board, and the reply it gives. Pure, like the board.
#pragma once

#include "board.h"
#include "protocol.h"

#include <optional>
#include <string>

namespace service {

// Carries out a request on the board and returns its reply line; none for status, whose reply
// needs the LED read back first.
std::optional<std::string> carry_out(Board& board, const protocol::Request& request, Time now);

// The reply to status: every active indication (name, priority, steps, cycles, what it shows now,
// how long it has left), the one showing, the colour shown, and what the LED's lines read back.
std::string status_reply(const Board& board, Time now, LedColorCode read_back);

}  // namespace service
