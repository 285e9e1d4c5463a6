// kav_morv_ledctl: asks the LED service to show a colour, a blink or a pattern under a name and a
// priority, to withdraw it, or what it shows. A thin user of the protocol (docs/protocol.md): each
// command is one request line, checked here by the service's own parser before it is sent.
#include "command_line.h"
#include "endpoint.h"
#include "program_entry.h"
#include "protocol.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const char* kProgram = "kav_morv_ledctl";
constexpr int kNotDone = 1;

struct Arguments {
    std::string endpoint = endpoint::configured();
    std::vector<std::string> what;  // the words after the command: colour, times, steps
    std::string name;
    std::string priority;
    std::string for_ms;
    std::string cycles;
    bool json = false;
};

// Adds the options every command that shows something takes.
void add_showing_options(CLI::App& command, Arguments& arguments) {
    command.add_option("--name", arguments.name, "The indication's name; one name holds one indication")
        ->default_str(protocol::kDefaultName);
    command.add_option("--priority", arguments.priority, "0 to 255; the highest shows")
        ->default_str(std::to_string(protocol::kDefaultPriority));
    command.add_option("--for", arguments.for_ms, "Expire after this many milliseconds");
}

// The request line the command line asks for.
std::string request_line(const std::string& command, const Arguments& arguments) {
    std::string line = command;
    for (const std::string& word : arguments.what) {
        line += " " + word;
    }
    const struct {
        const char* key;
        const std::string& value;
    } options[] = {{"name", arguments.name},
                   {"priority", arguments.priority},
                   {"for", arguments.for_ms},
                   {command == "blink" ? "count" : "repeat", arguments.cycles}};
    for (const auto& option : options) {
        if (!option.value.empty()) {
            line += std::string(" ") + option.key + "=" + option.value;
        }
    }
    return line;
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
                std::to_string(step["ms"].get<unsigned>()) + " ms";
    }
    const nlohmann::json& cycles = indication["cycles"];
    return what + (cycles.is_null() ? ", over and over" : ", " + std::to_string(cycles.get<unsigned>()) + " times");
}

void print_status(const std::string& payload) {
    const nlohmann::json status = nlohmann::json::parse(payload);
    const std::string read_back = status["read_back"].get<std::string>();
    if (status["indications"].empty()) {
        static_cast<void>(std::printf("nothing to show: the LED is off; it reads back %s\n", read_back.c_str()));
        return;
    }
    static_cast<void>(std::printf("showing %s (%s); the LED reads back %s\n",
                                  status["showing"].get<std::string>().c_str(),
                                  status["color"].get<std::string>().c_str(), read_back.c_str()));
    static_cast<void>(std::printf("%-20s %8s  %-7s %-9s %s\n", "name", "priority", "shows", "left", "what"));
    for (const nlohmann::json& indication : status["indications"]) {
        static_cast<void>(std::printf("%-20s %8u  %-7s %-9s %s\n", indication["name"].get<std::string>().c_str(),
                                      indication["priority"].get<unsigned>(),
                                      indication["shows"].get<std::string>().c_str(),
                                      seconds_left(indication["left_ms"]).c_str(), what_it_shows(indication).c_str()));
    }
}

int ask(const std::string& command, const Arguments& arguments) {
    const std::string line = request_line(command, arguments);
    const protocol::Parsed parsed = protocol::parse_request(line);
    if (!parsed.request) {
        static_cast<void>(std::fprintf(stderr, "%s: %s %s\n", kProgram, command.c_str(), parsed.error.c_str()));
        return command_line::kUsageError;
    }
    if (line.size() > protocol::kMaxLineBytes) {
        static_cast<void>(
            std::fprintf(stderr, "%s: %s: the request is longer than the %zu bytes the service takes in one line\n",
                         kProgram, command.c_str(), protocol::kMaxLineBytes));
        return command_line::kUsageError;
    }
    endpoint::Connection service;
    std::string why_not;
    if (!service.open(arguments.endpoint, why_not)) {
        static_cast<void>(std::fprintf(stderr, "%s: cannot reach the LED service at %s (%s). Is it running? To %s.\n",
                                       kProgram, endpoint::address(arguments.endpoint).c_str(), why_not.c_str(),
                                       endpoint::kHowToStart));
        return kNotDone;
    }
    std::string reply;
    if (!service.send(line + "\n") || !service.receive_line(reply)) {
        static_cast<void>(std::fprintf(stderr, "%s: the LED service at %s closed the connection without a reply\n",
                                       kProgram, endpoint::address(arguments.endpoint).c_str()));
        return kNotDone;
    }
    if (reply.rfind("ok", 0) != 0) {
        static_cast<void>(std::fprintf(stderr, "%s: the LED service refused: %s\n", kProgram, reply.c_str()));
        return kNotDone;
    }
    const std::string payload = reply.size() > 3 ? reply.substr(3) : "";
    if (command == "status" && !arguments.json) {
        print_status(payload);
    } else if (!payload.empty()) {
        static_cast<void>(std::printf("%s\n", payload.c_str()));
    }
    return 0;
}

}  // namespace

int program_main(int argc, char** argv) {
    CLI::App app("Asks the LED service what to show on the LED, or what it shows.", kProgram);
    Arguments arguments;
    app.add_option("--endpoint", arguments.endpoint,
                   "Where the service listens: a socket path on POSIX, a pipe name on Windows "
                   "(also KAV_MORV_LED_ENDPOINT)")
        ->capture_default_str();
    app.require_subcommand(1);
    const std::string colours = "COLOUR is off, red, green, blue, white, cb, yellow or purple, in any case.";

    CLI::App* set = app.add_subcommand("set", "Show a steady colour. " + colours);
    set->add_option("COLOUR", arguments.what, "The colour")->required()->expected(1);
    CLI::App* off = app.add_subcommand("off", "Show the LED off (set off)");
    CLI::App* blink = app.add_subcommand("blink", "Blink a colour. " + colours);
    blink->add_option("COLOUR ON_MS OFF_MS", arguments.what, "The colour, then on and off times (500 ms each)")
        ->required()
        ->expected(1, 3);
    blink->add_option("--count", arguments.cycles, "Blink this many times, then end (default: until replaced)");
    CLI::App* pattern = app.add_subcommand("pattern", "Show colours in turn, each for its time. " + colours);
    pattern->add_option("COLOUR:MS", arguments.what, "The steps, in order")->required();
    pattern->add_option("--repeat", arguments.cycles, "Run the steps this many times (default: for ever)");
    for (CLI::App* showing : {set, off, blink, pattern}) {
        add_showing_options(*showing, arguments);
    }
    CLI::App* clear = app.add_subcommand("clear", "Withdraw the indication of a name");
    clear->add_option("--name", arguments.name, "Its name")->default_str(protocol::kDefaultName);
    app.add_subcommand("get", "Print the colour shown now, as one keyword");
    CLI::App* status = app.add_subcommand("status", "Every indication, the one showing, and what the LED reads back");
    status->add_flag("--json", arguments.json, "Print the service's reply as it is, for scripts");

    if (const std::optional<int> exit_status = command_line::parse(app, argc, argv)) {
        return *exit_status;
    }
    const CLI::App* chosen = app.get_subcommands().front();
    if (chosen == off) {
        arguments.what = {"off"};
        return ask("set", arguments);
    }
    return ask(chosen->get_name(), arguments);
}
