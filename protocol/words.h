// The protocol's words: the colours (from the LED's one table of names) and the commands, and the
// rule that every line is UTF-8.
#pragma once

#include "kav_morv_led.h"

#include <optional>
#include <string>
#include <string_view>

namespace protocol {

enum class Command { set, blink, pattern, clear, get, status, watch };

const char* command_word(Command command);
// The command a word names, in any case ("SET"); none for any other word.
std::optional<Command> command_named(std::string_view word);
// "set, blink, pattern, clear, get, status, watch", for messages.
const std::string& command_list();

// "off", "red", ... for codes 0 to 7; "unknown" for any other.
const char* color_name(LedColorCode code);
// The code of a colour keyword in any case ("Red", "CB"), or none.
std::optional<LedColorCode> color_from_name(std::string_view name);
// "off, red, green, blue, white, cb, yellow, purple", for messages and help.
const std::string& color_list();

// Whether bytes are well-formed UTF-8.
bool is_utf8(std::string_view bytes);

// A word of the client's, fit to be quoted in a reply: printable ASCII, at most 32 bytes.
std::string quoted(std::string_view word);

}  // namespace protocol
