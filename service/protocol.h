// The LED service's protocol, shared by the service and its clients: one request per line, one
// reply line per request, plain UTF-8 text (docs/protocol.md).
#pragma once

#include "kav_morv_led.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace protocol {

// The longest request line, without its line feed (and without a carriage return before it).
constexpr std::size_t kMaxLineBytes = 1024;
// The most steps a pattern may have, and the bounds of what may be asked.
constexpr std::size_t kMaxPatternSteps = 1024;
constexpr std::uint32_t kMaxStepMs = 3'600'000;     // an hour
constexpr std::uint32_t kMaxForMs = 2'147'483'647;  // about 24 days
constexpr std::uint32_t kMaxCycles = 1'000'000;
constexpr std::size_t kMaxNameBytes = 64;
constexpr std::size_t kMaxOwnerBytes = 256;
constexpr std::uint8_t kDefaultPriority = 100;
constexpr const char* kDefaultName = "default";
constexpr std::uint32_t kDefaultBlinkMs = 500;

// What the service holds for everyone together and for each user (uid, or SID on Windows).
constexpr std::size_t kMaxIndications = 1024;
constexpr std::size_t kMaxIndicationsPerOwner = 256;
constexpr std::size_t kMaxStepsInForce = 4096;  // a steady colour is one step, a blink two
constexpr std::size_t kMaxStepsPerOwner = 1024;
constexpr std::size_t kMaxConnections = 512;
constexpr std::size_t kMaxConnectionsPerUser = 32;  // root, SYSTEM and Administrators: no limit of their own

// One step of what an indication shows: a colour for a while. A steady colour is one step that
// lasts for ever, written with 0 ms.
struct Step {
    LedColorCode color;
    std::uint32_t ms;
    bool operator==(const Step& other) const { return color == other.color && ms == other.ms; }
};

enum class Command { set, blink, pattern, clear, get, status };

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
Parsed parse_words(std::string_view command, const std::vector<std::string>& what,
                   const std::vector<Option>& options);

// The line that asks for `request` (without its line feed); parse_request reads it back as it is.
std::string format_request(const Request& request);

const char* command_word(Command command);

// "off", "red", ... for codes 0 to 7; "unknown" for any other.
const char* color_name(LedColorCode code);
// The code of a colour keyword in any case ("Red", "CB"), or none.
std::optional<LedColorCode> color_from_name(std::string_view name);

// Reply lines, without their line feed: "ok", "ok PAYLOAD", "error COMMAND MESSAGE".
std::string ok_reply(std::string_view payload = {});
std::string error_reply(std::string_view command, std::string_view message);

// A reply line as a client reads it; none when the line is not a reply at all.
struct Reply {
    bool ok = false;
    std::string payload;  // ok: what follows "ok "; empty for a bare "ok"
    std::string command;  // error: the command word it names
    std::string message;  // error: what the service says is wrong
};
std::optional<Reply> parse_reply(std::string_view line);

// Whether bytes are well-formed UTF-8.
bool is_utf8(std::string_view bytes);

}  // namespace protocol
