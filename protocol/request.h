// A request line: what it asks, read from a line or from a client's own arguments, and the line
// that asks it (docs/protocol.md).
#pragma once

#include "kav_morv_led.h"
#include "protocol_limits.h"
#include "words.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace protocol {

// One step of what an indication shows: a colour for a while. A steady colour is one step that
// lasts for ever, written with 0 ms.
struct Step {
    LedColorCode color;
    std::uint32_t ms;
    bool operator==(const Step& other) const { return color == other.color && ms == other.ms; }
};

struct Request {
    Command command = Command::get;
    std::string name = kDefaultName;
    std::uint8_t priority = kDefaultPriority;
    std::vector<Step> steps;              // set: one steady step; blink: on, off; pattern: as given
    std::optional<std::uint32_t> cycles;  // how often blink or pattern runs; none: until replaced
    std::optional<std::uint32_t> for_ms;  // the indication expires after this
    std::optional<std::string> owner;     // clear: whose indication (an administrator's choice)
};

// A request, or why the line is not one.
struct Parsed {
    std::optional<Request> request;
    std::string command;  // the command's word, or "-" when the line names none
    std::string error;    // why the line is not a request; empty when it is one
    std::string option;   // the option whose value is wrong; empty when it is none of them
};

Parsed parse_request(std::string_view line);

// A request from words a client holds apart already (its own arguments): what to show, and options
// as key and value. Each is checked on its own, so a word never becomes two words or an option.
using Option = std::pair<std::string, std::string>;
Parsed parse_words(std::string_view command, const std::vector<std::string>& what, const std::vector<Option>& options);

// The line that asks for `request` (without its line feed); parse_request reads it back as it is.
std::string format_request(const Request& request);

}  // namespace protocol
