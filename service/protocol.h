// The LED service's protocol, shared by the service and its client: one request per line, one
// reply line per request, plain UTF-8 text (docs/protocol.md).
#pragma once

#include "kav_morv_led.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace protocol {

// The longest request line, without its line feed.
constexpr std::size_t kMaxLineBytes = 1024;
// The most steps a pattern may have, and the bounds of what may be asked.
constexpr std::size_t kMaxPatternSteps = 1024;
constexpr std::uint32_t kMaxStepMs = 3'600'000;     // an hour
constexpr std::uint32_t kMaxForMs = 2'147'483'647;  // about 24 days
constexpr std::uint32_t kMaxCycles = 1'000'000;
constexpr std::size_t kMaxNameBytes = 64;
constexpr std::uint8_t kDefaultPriority = 100;
constexpr const char* kDefaultName = "default";
constexpr std::uint32_t kDefaultBlinkMs = 500;

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
};

// A request, or why the line is not one.
struct Parsed {
    std::optional<Request> request;
    std::string command;  // the command's word, or "-" when the line names none
    std::string error;    // why the line is not a request; empty when it is one
};

Parsed parse_request(std::string_view line);

// The line that asks for `request` (without its line feed and without for=); parse_request reads
// it back as it is.
std::string format_request(const Request& request);

const char* command_word(Command command);

// "off", "red", ... for codes 0 to 7; "unknown" for any other.
const char* color_name(LedColorCode code);
// The code of a colour keyword in any case ("Red", "CB"), or none.
std::optional<LedColorCode> color_from_name(std::string_view name);

// Reply lines, without their line feed: "ok", "ok PAYLOAD", "error COMMAND MESSAGE".
std::string ok_reply(std::string_view payload = {});
std::string error_reply(std::string_view command, std::string_view message);

// Whether bytes are well-formed UTF-8.
bool is_utf8(std::string_view bytes);

}  // namespace protocol
