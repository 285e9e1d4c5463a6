// kav_morv_ledctl: asks the LED service to show a colour, a blink or a pattern under a name and a
// priority, to withdraw it, or what it shows. A user of the protocol (docs/protocol.md) like any
// other: each argument is checked on its own by the protocol's rules, the request line is made from
// what they mean (never pasted from them), and only a reply that parses as one is believed.
#include "command_line.h"
#include "endpoint.h"
#include "program_entry.h"
#include "reply.h"
#include "request.h"
#include "words.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kProgram = "kav_morv_ledctl";
constexpr int kNotDone = 1;
constexpr unsigned kDefaultTimeoutMs = 10'000;

struct Arguments {
    std::string endpoint = endpoint::configured();
    unsigned timeout_ms = kDefaultTimeoutMs;
    std::vector<std::string> what;  // the words after the command: colour, times, steps
    bool json = false;
};

// The command-line options that become a request's options, as the protocol names them.
struct RequestOption {
    const char* flag;
    const char* key;
    std::string value;
    CLI::Option* given = nullptr;
};

// Kept where add_option can point at each value for as long as the command line is read.
using RequestOptions = std::deque<RequestOption>;

void add_request_option(CLI::App& command, RequestOptions& options, const char* flag, const char* key,
                        const std::string& help, const std::string& default_text = "") {
    options.push_back({flag, key, "", nullptr});
    // Taken whole, even when empty or spaced: the protocol's rules judge it, not the shell's.
    options.back().given = command.add_option(flag, options.back().value, help);
    if (!default_text.empty()) {
        options.back().given->default_str(default_text);
    }
}

// A quoted word from the service, fit for a terminal: printable ASCII, at most 200 bytes.
std::string shown(const std::string& text) {
    std::string printable;
    for (const char c : text.substr(0, 200)) {
        printable += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return "\"" + printable + (text.size() > 200 ? "...\"" : "\"");
}

// Text from the service, fit for a terminal: every control character (C0, DEL and C1, which
// could move the cursor, retitle the window or clear the screen) written as an escape.
std::string printable(const std::string& text) {
    std::string out;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const auto next = at + 1 < text.size() ? static_cast<unsigned char>(text[at + 1]) : 0;
        char escaped[8];
        if (byte < 0x20 || byte == 0x7F) {
            static_cast<void>(std::snprintf(escaped, sizeof escaped, "\\x%02X", byte));
            out += escaped;
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            static_cast<void>(std::snprintf(escaped, sizeof escaped, "\\u%04X", next));
            out += escaped;
            ++at;
        } else {
            out += text[at];
        }
    }
    return out;
}

// JSON as the service sent it, but with everything beyond printable ASCII escaped, for a terminal.
std::string printable_json(const nlohmann::json& value) {
    return value.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

bool is_color(const nlohmann::json& value) {
    return value.is_string() && protocol::color_from_name(value.get<std::string>()) &&
           value.get<std::string>() == protocol::color_name(*protocol::color_from_name(value.get<std::string>()));
}

bool is_count(const nlohmann::json& value) {
    return value.is_number_unsigned();
}

// Whether the payload of a status reply has every field this client prints, of the right kind.
bool is_status(const nlohmann::json& status) {
    const auto name_or_null = [](const nlohmann::json& value) { return value.is_string() || value.is_null(); };
    if (!status.is_object() || !name_or_null(status.value("showing", nlohmann::json(0))) ||
        !is_color(status.value("color", nlohmann::json())) ||
        !(status.value("read_back", nlohmann::json(0)).is_null() || status["read_back"] == "unknown" ||
          is_color(status["read_back"])) ||
        !status.value("indications", nlohmann::json()).is_array()) {
        return false;
    }
    for (const nlohmann::json& indication : status["indications"]) {
        if (!indication.is_object() || !indication.value("name", nlohmann::json()).is_string() ||
            !indication.value("owner", nlohmann::json()).is_string() ||
            !is_count(indication.value("priority", nlohmann::json())) ||
            !is_color(indication.value("shows", nlohmann::json())) ||
            !(indication.value("cycles", nlohmann::json(-1)).is_null() || is_count(indication["cycles"])) ||
            !(indication.value("left_ms", nlohmann::json(-1)).is_null() || indication["left_ms"].is_number_integer()) ||
            !indication.value("steps", nlohmann::json()).is_array() || indication["steps"].empty()) {
            return false;
        }
        for (const nlohmann::json& step : indication["steps"]) {
            if (!step.is_object() || !is_color(step.value("color", nlohmann::json())) ||
                !is_count(step.value("ms", nlohmann::json()))) {
                return false;
            }
        }
    }
    return true;
}

std::string seconds_left(const nlohmann::json& left_ms) {
    if (left_ms.is_null()) {
        return "-";
    }
    char text[32];
    static_cast<void>(std::snprintf(text, sizeof text, "%.1f s", left_ms.get<double>() / 1000));
    return text;
}

std::string what_it_shows(const nlohmann::json& indication) {
    const nlohmann::json& steps = indication["steps"];
    if (steps.size() == 1 && steps[0]["ms"] == 0) {
        return "steady " + steps[0]["color"].get<std::string>();
    }
    std::string what;
    for (const nlohmann::json& step : steps) {
        what += (what.empty() ? "" : ", ") + step["color"].get<std::string>() + " " +
                std::to_string(step["ms"].get<unsigned long long>()) + " ms";
    }
    const nlohmann::json& cycles = indication["cycles"];
    return what +
           (cycles.is_null() ? ", over and over" : ", " + std::to_string(cycles.get<unsigned long long>()) + " times");
}

void print_status(const nlohmann::json& status) {
    const std::string read_back =
        status["read_back"].is_null() ? "nothing yet (the LED is busy)" : status["read_back"].get<std::string>();
    if (status["indications"].empty()) {
        static_cast<void>(std::printf("nothing to show: the LED is off; it reads back %s\n", read_back.c_str()));
        return;
    }
    static_cast<void>(std::printf("showing %s (%s); the LED reads back %s\n",
                                  status["showing"].is_string() ? printable(status["showing"].get<std::string>()).c_str()
                                                                : "-",
                                  status["color"].get<std::string>().c_str(), read_back.c_str()));
    static_cast<void>(
        std::printf("%-20s %-12s %8s  %-7s %-9s %s\n", "name", "owner", "priority", "shows", "left", "what"));
    for (const nlohmann::json& indication : status["indications"]) {
        static_cast<void>(std::printf(
            "%-20s %-12s %8llu  %-7s %-9s %s\n", printable(indication["name"].get<std::string>()).c_str(),
            printable(indication["owner"].get<std::string>()).c_str(), indication["priority"].get<unsigned long long>(),
            indication["shows"].get<std::string>().c_str(), seconds_left(indication["left_ms"]).c_str(),
            what_it_shows(indication).c_str()));
    }
}

int not_done(const std::string& what) {
    static_cast<void>(std::fprintf(stderr, "%s: %s\n", kProgram, what.c_str()));
    return kNotDone;
}

// Believes a reply only if it is one to this request: "ok" with what the command answers, or an
// error that names the command.
int take_reply(const protocol::Request& request, const std::string& line, const std::string& where, bool json) {
    const char* command = protocol::command_word(request.command);
    const std::optional<protocol::Reply> reply = protocol::parse_reply(line);
    const std::string not_a_reply =
        "the LED service at " + where + " answered what is not a reply to " + command + ": " + shown(line);
    if (!reply) {
        return not_done(not_a_reply);
    }
    if (!reply->ok) {
        if (reply->command != command && reply->command != "-") {
            return not_done(not_a_reply);
        }
        return not_done("the LED service refused: " + line);
    }
    switch (request.command) {
        case protocol::Command::get:
            if (!is_color(reply->payload)) {
                return not_done(not_a_reply);
            }
            static_cast<void>(std::printf("%s\n", reply->payload.c_str()));
            return 0;
        case protocol::Command::status: {
            const nlohmann::json status = nlohmann::json::parse(reply->payload, nullptr, false);
            if (status.is_discarded() || !is_status(status)) {
                return not_done(not_a_reply);
            }
            if (json) {
                static_cast<void>(std::printf("%s\n", printable_json(status).c_str()));
            } else {
                print_status(status);
            }
            return 0;
        }
        default:
            return reply->payload.empty() ? 0 : not_done(not_a_reply);
    }
}

// Whether a line is an event with every field this client prints, of the right kind.
std::optional<nlohmann::json> event_of(const std::string& line) {
    const std::string prefix = "event ";
    if (line.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    nlohmann::json event = nlohmann::json::parse(line.substr(prefix.size()), nullptr, false);
    const auto text = [&event](const char* key) { return event.value(key, nlohmann::json(0)).is_string(); };
    const auto text_or_null = [&event](const char* key) {
        return event.value(key, nlohmann::json(0)).is_string() || event[key].is_null();
    };
    if (event.is_discarded() || !event.is_object() || !is_count(event.value("seq", nlohmann::json())) ||
        !text("event") || !text("name") || !text("owner") || !text_or_null("showing") ||
        !text_or_null("showing_owner") || !is_color(event.value("color", nlohmann::json()))) {
        return std::nullopt;
    }
    return event;
}

// Prints each event as it comes, until the service goes away or standard output's reader does (exit
// status 1), or the user ends it with Ctrl-C (exit status 0).
int watch(endpoint::Connection& service, const std::string& where, bool json) {
    static_cast<void>(std::signal(SIGINT, [](int) { std::_Exit(0); }));
    static_cast<void>(std::signal(SIGTERM, [](int) { std::_Exit(0); }));
    static_cast<void>(
        std::fprintf(stderr, "%s: watching the LED service at %s; Ctrl-C ends it\n", kProgram, where.c_str()));
    std::string line;
    while (service.receive_line(line)) {
        const std::optional<nlohmann::json> event = event_of(line);
        if (!event) {
            return not_done("the LED service at " + where + " sent what is not an event: " + shown(line));
        }
        if (json) {
            static_cast<void>(std::printf("%s\n", printable_json(*event).c_str()));
        } else {
            const nlohmann::json& e = *event;
            const auto text = [&e](const char* key) { return printable(e[key].get<std::string>()); };
            const std::string showing =
                e["showing"].is_null() ? "" : " (" + text("showing") + " of " + text("showing_owner") + ")";
            static_cast<void>(std::printf("#%llu %s %s (%s): the LED shows %s%s\n", e["seq"].get<unsigned long long>(),
                                          text("event").c_str(), text("name").c_str(), text("owner").c_str(),
                                          text("color").c_str(), showing.c_str()));
        }
        // A reader gone (| head -n1) ends the watch, and with it the watcher's place at the service.
        if (std::fflush(stdout) != 0) {
            return not_done(std::string("standard output was closed (") + std::strerror(errno) + "); the watch ends");
        }
    }
    return not_done("the LED service at " + where + " went away" +
                    (service.failure().empty() ? "" : " (" + service.failure() + ")"));
}

int ask(const std::string& command, const Arguments& arguments, const RequestOptions& options) {
    std::vector<protocol::Option> given;
    for (const RequestOption& option : options) {
        if (option.given != nullptr && option.given->count() > 0) {
            given.emplace_back(option.key, option.value);
        }
    }
    const protocol::Parsed parsed = protocol::parse_words(command, arguments.what, given);
    if (!parsed.request) {
        std::string flag;
        for (const RequestOption& option : options) {
            flag = parsed.option == option.key ? std::string(" ") + option.flag + ":" : flag;
        }
        static_cast<void>(
            std::fprintf(stderr, "%s: %s%s %s\n", kProgram, command.c_str(), flag.c_str(), parsed.error.c_str()));
        return command_line::kUsageError;
    }
    const std::string line = protocol::format_request(*parsed.request);
    if (line.size() > protocol::kMaxLineBytes) {
        static_cast<void>(
            std::fprintf(stderr, "%s: %s: the request is longer than the %zu bytes the service takes in one line\n",
                         kProgram, command.c_str(), protocol::kMaxLineBytes));
        return command_line::kUsageError;
    }
    const std::string where = endpoint::address(arguments.endpoint);
    const endpoint::Deadline deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(arguments.timeout_ms);
    endpoint::Connection service;
    std::string why_not;
    switch (service.open(arguments.endpoint, why_not, deadline)) {
        case endpoint::Opened::yes:
            break;
        case endpoint::Opened::not_running:
            return not_done("cannot reach the LED service at " + where + " (" + why_not + "). Is it running? To " +
                            endpoint::kHowToStartTheService + ".");
        case endpoint::Opened::not_allowed:
        case endpoint::Opened::failed:
            return not_done("cannot reach the LED service at " + where + ": " + why_not);
    }
    std::string reply;
    if (!service.send(line + "\n", deadline) || !service.receive_line(reply, deadline)) {
        return not_done(service.timed_out()           ? "the LED service at " + where + " did not answer within " +
                                                            std::to_string(arguments.timeout_ms) + " ms (--timeout)"
                        : !service.failure().empty() ? "the connection to the LED service at " + where +
                                                            " failed: " + service.failure()
                                                      : "the LED service at " + where +
                                                            " closed the connection without a reply");
    }
    const int done = take_reply(*parsed.request, reply, where, arguments.json);
    return done == 0 && parsed.request->command == protocol::Command::watch ? watch(service, where, arguments.json)
                                                                            : done;
}

}  // namespace

int program_main(int argc, char** argv) {
    CLI::App app("Asks the LED service what to show on the LED, or what it shows.", kProgram);
    Arguments arguments;
    app.add_option("--endpoint", arguments.endpoint,
                   "Where the service listens: a socket path on POSIX, a pipe name on Windows "
                   "(also KAV_MORV_LED_ENDPOINT)")
        ->capture_default_str();
    app.add_option("--timeout", arguments.timeout_ms, "Give up on the service after this many milliseconds")
        ->capture_default_str()
        ->check(CLI::Range(1u, 3'600'000u));
    const std::string colours = "COLOUR is one of " + protocol::color_list() + ", in any case.";
    RequestOptions options;

    CLI::App* set = app.add_subcommand("set", "Show a steady colour. " + colours);
    set->add_option("COLOUR", arguments.what, "The colour")->required()->expected(1);
    CLI::App* off = app.add_subcommand("off", "Show the LED off (set off)");
    CLI::App* blink = app.add_subcommand("blink", "Blink a colour. " + colours);
    std::string blink_colour;
    std::string on_ms;
    std::string off_ms;
    blink->add_option("COLOUR", blink_colour, "The colour")->required();
    const CLI::Option* on = blink->add_option("ON_MS", on_ms, "How long it is on, in milliseconds (500)");
    const CLI::Option* off_time = blink->add_option("OFF_MS", off_ms, "How long it is off, in milliseconds (500)");
    add_request_option(*blink, options, "--count", "count",
                       "Blink this many times, then end (default: until replaced)");
    CLI::App* pattern = app.add_subcommand("pattern", "Show colours in turn, each for its time. " + colours);
    pattern->add_option("COLOUR:MS", arguments.what, "The steps, in order")->required();
    add_request_option(*pattern, options, "--repeat", "repeat", "Run the steps this many times (default: for ever)");
    for (CLI::App* showing : {set, off, blink, pattern}) {
        add_request_option(*showing, options, "--name", "name", "The indication's name; one name holds one indication",
                           protocol::kDefaultName);
        add_request_option(*showing, options, "--priority", "priority", "0 to 255; the highest shows",
                           std::to_string(protocol::kDefaultPriority));
        add_request_option(*showing, options, "--for", "for", "Expire after this many milliseconds");
    }
    CLI::App* clear = app.add_subcommand("clear", "Withdraw an indication of yours");
    add_request_option(*clear, options, "--name", "name", "Its name", protocol::kDefaultName);
    add_request_option(*clear, options, "--owner", "owner",
                       "Another user's (a name or id, as status shows it): for root, SYSTEM and Administrators");
    app.add_subcommand("get", "Print the colour shown now, as one keyword");
    CLI::App* status = app.add_subcommand("status", "Every indication, the one showing, and what the LED reads back");
    status->add_flag("--json", arguments.json, "Print the service's reply as it is, for scripts");
    CLI::App* watch = app.add_subcommand("watch", "Print each change as it happens, until Ctrl-C");
    watch->add_flag("--json", arguments.json, "Print each event as the service sends it, one JSON object a line");
    app.require_subcommand(0, 1);
    app.allow_extras();  // a word that is no subcommand is reported below, by name

    if (const std::optional<int> exit_status = command_line::parse(app, argc, argv)) {
        return *exit_status;
    }
    if (app.get_subcommands().empty()) {
        const std::vector<std::string> extras = app.remaining();
        std::string subcommands;
        for (const CLI::App* offered : app.get_subcommands({})) {
            subcommands += (subcommands.empty() ? "" : ", ") + offered->get_name();
        }
        static_cast<void>(std::fprintf(
            stderr, "%s: %s; one of %s\nRun '%s --help' for how to use it.\n", kProgram,
            extras.empty() ? "a subcommand is required" : ("unknown subcommand " + shown(extras.front())).c_str(),
            subcommands.c_str(), kProgram));
        return command_line::kUsageError;
    }
    const CLI::App* chosen = app.get_subcommands().front();
    if (chosen == off) {
        arguments.what = {"off"};
        return ask("set", arguments, options);
    }
    if (chosen == blink) {
        arguments.what = {blink_colour};
        for (const auto& [given, value] : {std::pair{on, &on_ms}, std::pair{off_time, &off_ms}}) {
            if (given->count() > 0) {
                arguments.what.push_back(*value);
            }
        }
    }
    return ask(chosen->get_name(), arguments, options);
}
