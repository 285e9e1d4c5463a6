#include "request.h"

#include "protocol_limits.h"

#include <algorithm>
#include <cctype>

namespace protocol {
namespace {

std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t start = line.find_first_not_of(' ', at);
        if (start == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(line.find(' ', start), line.size());
        words.push_back(line.substr(start, end - start));
        at = end;
    }
    return words;
}

// A decimal number in [least, most], or why not.
std::optional<std::uint32_t> number(std::string_view text, std::uint32_t least, std::uint32_t most,
                                    const std::string& what, std::string& error) {
    std::uint64_t value = 0;
    const bool digits = !text.empty() && text.size() <= 10 &&
                        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) {
        for (const char c : text) {
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
        }
    }
    if (!digits || value < least || value > most) {
        error = what + " " + quoted(text) + " is not a whole number from " + std::to_string(least) + " to " +
                std::to_string(most);
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<LedColorCode> color(std::string_view text, std::string& error) {
    const std::optional<LedColorCode> code = color_from_name(text);
    if (!code) {
        error = "unknown colour " + quoted(text) + "; one of " + color_list();
    }
    return code;
}

bool valid_name(std::string_view name) {
    return !name.empty() && name.size() <= kMaxNameBytes && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' || c == '-';
    });
}

// A user as the system names them: one word of printable UTF-8.
bool valid_owner(std::string_view owner) {
    return !owner.empty() && owner.size() <= kMaxOwnerBytes && is_utf8(owner) &&
           std::all_of(owner.begin(), owner.end(),
                       [](char c) { return static_cast<unsigned char>(c) > 0x20 && c != 0x7F; });
}
// Reads the positional words (what to show) into the request; false with `error` set if they do
// not fit the command.
bool read_what(Request& request, const std::vector<std::string_view>& what, std::string& error) {
    switch (request.command) {
        case Command::set: {
            if (what.size() != 1) {
                error = what.empty() ? "needs a colour" : "takes one colour";
                return false;
            }
            const std::optional<LedColorCode> code = color(what[0], error);
            request.steps = {{code.value_or(LED_COLOR_OFF), 0}};
            return code.has_value();
        }
        case Command::blink: {
            if (what.empty() || what.size() > 3) {
                error = what.empty() ? "needs a colour" : "takes a colour, an on time and an off time";
                return false;
            }
            const std::optional<LedColorCode> code = color(what[0], error);
            if (!code) {
                return false;
            }
            std::optional<std::uint32_t> on = kDefaultBlinkMs;
            std::optional<std::uint32_t> off = kDefaultBlinkMs;
            if (what.size() > 1) {
                on = number(what[1], 1, kMaxStepMs, "on time", error);
            }
            if (on && what.size() > 2) {
                off = number(what[2], 1, kMaxStepMs, "off time", error);
            }
            request.steps = {{*code, on.value_or(0)}, {LED_COLOR_OFF, off.value_or(0)}};
            return on && off;
        }
        case Command::pattern: {
            if (what.empty() || what.size() > kMaxPatternSteps) {
                error = what.empty() ? "needs at least one COLOUR:MS step"
                                     : "has more than " + std::to_string(kMaxPatternSteps) + " steps";
                return false;
            }
            for (const std::string_view step : what) {
                const std::size_t colon = step.find(':');
                if (colon == std::string_view::npos) {
                    error = "step " + quoted(step) + " is not COLOUR:MS";
                    return false;
                }
                const std::optional<LedColorCode> code = color(step.substr(0, colon), error);
                const std::optional<std::uint32_t> ms =
                    code ? number(step.substr(colon + 1), 1, kMaxStepMs, "step time", error) : std::nullopt;
                if (!ms) {
                    return false;
                }
                request.steps.push_back({*code, *ms});
            }
            return true;
        }
        case Command::clear:
        case Command::get:
        case Command::status:
        case Command::watch:
            if (!what.empty()) {
                error = "takes no " + std::string(what.size() == 1 ? "argument " : "arguments ") + quoted(what[0]);
                return false;
            }
            return true;
    }
    return false;
}

// Which options each command takes.
bool takes_option(Command command, std::string_view key) {
    const bool shows = command == Command::set || command == Command::blink || command == Command::pattern;
    return (key == "name" && (shows || command == Command::clear)) || (key == "owner" && command == Command::clear) ||
           ((key == "priority" || key == "for") && shows) || (key == "count" && command == Command::blink) ||
           (key == "repeat" && command == Command::pattern);
}

bool read_option(Request& request, std::string_view key, std::string_view value, std::string& error) {
    if (key == "name") {
        if (!valid_name(value)) {
            error = "name " + quoted(value) + " is not 1 to " + std::to_string(kMaxNameBytes) +
                    " letters, digits, '.', '_' or '-'";
            return false;
        }
        request.name = std::string(value);
        return true;
    }
    if (key == "owner") {
        if (!valid_owner(value)) {
            error = "owner " + quoted(value) + " is not a user's name or id (1 to " + std::to_string(kMaxOwnerBytes) +
                    " bytes, no spaces)";
            return false;
        }
        request.owner = std::string(value);
        return true;
    }
    if (key == "priority") {
        const std::optional<std::uint32_t> priority = number(value, 0, 255, "priority", error);
        request.priority = static_cast<std::uint8_t>(priority.value_or(0));
        return priority.has_value();
    }
    if (key == "for") {
        request.for_ms = number(value, 1, kMaxForMs, "for", error);
        return request.for_ms.has_value();
    }
    request.cycles = number(value, 1, kMaxCycles, std::string(key), error);
    return request.cycles.has_value();
}

// The request that a command word, its positional words and its options ask for; how the words
// were held apart (a line's spaces, a client's arguments) is the caller's business.
using OptionView = std::pair<std::string_view, std::string_view>;
Parsed read_request(std::string_view command, const std::vector<std::string_view>& what,
                    const std::vector<OptionView>& options) {
    Parsed parsed;
    parsed.command = "-";
    const std::optional<Command> known = command_named(command);
    if (!known) {
        parsed.error = "unknown command " + quoted(command) + "; one of " + command_list();
        return parsed;
    }
    parsed.command = command_word(*known);

    Request request;
    request.command = *known;
    std::vector<std::string_view> seen;
    for (const auto& [key, value] : options) {
        if (!takes_option(request.command, key)) {
            parsed.error = "takes no option " + quoted(key);
            return parsed;
        }
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            parsed.error = "option " + quoted(key) + " is given twice";
            return parsed;
        }
        seen.push_back(key);
        if (!read_option(request, key, value, parsed.error)) {
            parsed.option = std::string(key);
            return parsed;
        }
    }
    if (!read_what(request, what, parsed.error)) {
        return parsed;
    }
    parsed.request = std::move(request);
    return parsed;
}

}  // namespace

Parsed parse_request(std::string_view line) {
    if (!is_utf8(line)) {
        return {std::nullopt, "-", "not UTF-8", ""};
    }
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);  // a client that ends its lines as terminals do
    }
    const std::vector<std::string_view> words = words_of(line);
    if (words.empty()) {
        return {std::nullopt, "-", "empty request", ""};
    }
    std::vector<std::string_view> what;
    std::vector<OptionView> options;
    for (auto word = words.begin() + 1; word != words.end(); ++word) {
        const std::size_t equals = word->find('=');
        if (equals == std::string_view::npos) {
            what.push_back(*word);
        } else {
            options.emplace_back(word->substr(0, equals), word->substr(equals + 1));
        }
    }
    return read_request(words[0], what, options);
}

Parsed parse_words(std::string_view command, const std::vector<std::string>& what, const std::vector<Option>& options) {
    const std::vector<std::string_view> what_views(what.begin(), what.end());
    const std::vector<OptionView> option_views(options.begin(), options.end());
    return read_request(command, what_views, option_views);
}

std::string format_request(const Request& request) {
    std::string line = command_word(request.command);
    switch (request.command) {
        case Command::set:
        case Command::blink:
            line += std::string(" ") + color_name(request.steps.at(0).color);
            if (request.command == Command::blink) {
                line += " " + std::to_string(request.steps.at(0).ms) + " " + std::to_string(request.steps.at(1).ms);
            }
            break;
        case Command::pattern:
            for (const Step& step : request.steps) {
                line += std::string(" ") + color_name(step.color) + ":" + std::to_string(step.ms);
            }
            break;
        case Command::clear:
        case Command::get:
        case Command::status:
        case Command::watch:
            break;
    }
    if (takes_option(request.command, "name")) {
        line += " name=" + request.name;
    }
    if (takes_option(request.command, "priority")) {
        line += " priority=" + std::to_string(request.priority);
    }
    if (request.cycles) {
        line += (request.command == Command::blink ? " count=" : " repeat=") + std::to_string(*request.cycles);
    }
    if (request.for_ms) {
        line += " for=" + std::to_string(*request.for_ms);
    }
    if (request.owner) {
        line += " owner=" + *request.owner;
    }
    return line;
}

}  // namespace protocol
