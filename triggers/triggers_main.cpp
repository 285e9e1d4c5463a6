// kav_morv_led_triggers: the LED tells the machine's state with no code. A rules file says which
// condition of the machine (a service, a process, free space, a port, a URL, a command, a heartbeat
// file, processor or memory use) shows which indication; the program checks each at its interval
// and keeps the rule's indication in force while the condition holds. A client of the LED service
// like any other: it speaks the protocol, nothing more.
#include "command_line.h"
#include "endpoint.h"
#include "engine.h"
#include "led_link.h"
#include "line_log.h"
#include "program_entry.h"
#include "rules.h"
#include "system.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kProgram = "kav_morv_led_triggers";
// More than any rules file needs: 256 rules of the longest pattern a line holds.
constexpr std::uintmax_t kMostRulesBytes = 1 << 20;
// How long a stop waits for the LED service to take the last clears.
constexpr std::chrono::seconds kLastWordWait{5};

// The rules of a file, or none with each mistake as "FILE:LINE: what".
std::optional<std::vector<triggers::Rule>> load(const std::string& file, std::vector<std::string>& errors) {
    const std::filesystem::path path = std::filesystem::u8path(file);
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size > kMostRulesBytes) {
        errors.push_back(file + ": larger than " + std::to_string(kMostRulesBytes) + " bytes; not a rules file");
        return std::nullopt;
    }
    std::ifstream stream(path, std::ios::binary);
    if (error || !stream) {
        errors.push_back(file + ": cannot be read" + (error ? " (" + error.message() + ")" : ""));
        return std::nullopt;
    }
    const std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    std::vector<std::string> mistakes;
    std::optional<std::vector<triggers::Rule>> rules = triggers::read_rules(text, mistakes);
    for (const std::string& mistake : mistakes) {
        errors.push_back(file);
        errors.back() += ":" + mistake;
    }
    return rules;
}

int check(const std::string& file) {
    std::vector<std::string> errors;
    const std::optional<std::vector<triggers::Rule>> rules = load(file, errors);
    for (const std::string& error : errors) {
        static_cast<void>(std::fprintf(stderr, "%s\n", error.c_str()));
    }
    if (!rules) {
        return command_line::kUsageError;
    }
    static_cast<void>(std::printf("%s: %zu rules, none with a mistake\n", file.c_str(), rules->size()));
    return 0;
}

void on_signals(asio::signal_set& signals, const std::function<void()>& act) {
    signals.async_wait([&signals, act](const asio::error_code& error, int) {
        if (!error) {
            act();
            on_signals(signals, act);
        }
    });
}

int run(const std::string& rules_file, const std::string& endpoint_name, const triggers::Supervisor& supervisor) {
    std::vector<std::string> errors;
    std::optional<std::vector<triggers::Rule>> rules = load(rules_file, errors);
    if (!rules) {
        for (const std::string& error : errors) {
            program_support::log(error);
        }
        return command_line::kUsageError;
    }
    asio::io_context io;
    asio::signal_set stops(io);
    asio::signal_set reloads(io);
    if (supervisor.by_signals) {
        for (const int signal : triggers::stop_signals()) {
            stops.add(signal);
        }
        for (const int signal : triggers::reload_signals()) {
            reloads.add(signal);
        }
    }
    // Let go of only once its thread has ended: a service that hangs keeps it (see below).
    auto led = std::make_unique<triggers::LedLink>(endpoint_name);
    led->start();
    auto engine = std::make_unique<triggers::Engine>(io, *led);
    const std::size_t count = rules->size();
    engine->apply(std::move(*rules));
    program_support::log("checking " + std::to_string(count) + " rules of " + rules_file +
                  ", shown through the LED service at " + endpoint::address(endpoint_name));
    // A file with mistakes is said and not used: the rules at work stay.
    const std::function<void()> reload = [&] {
        std::vector<std::string> mistakes;
        std::optional<std::vector<triggers::Rule>> reread = load(rules_file, mistakes);
        if (!reread) {
            for (const std::string& mistake : mistakes) {
                program_support::log(mistake);
            }
            program_support::log("the rules are not reloaded: those at work stay");
            return;
        }
        const std::size_t now = reread->size();
        const std::size_t kept = engine->apply(std::move(*reread));
        program_support::log("reloaded " + rules_file + ": " + std::to_string(now) + " rules, " + std::to_string(kept) +
                      " of them unchanged");
    };
    on_signals(stops, [&io] { io.stop(); });
    on_signals(reloads, reload);
    supervisor.running({[&io] { asio::post(io, [&io] { io.stop(); }); }, [&io, &reload] { asio::post(io, reload); }});
    const auto keep = asio::make_work_guard(io);
    io.run();
    program_support::log("stopping: what the rules show is cleared");
    engine->stop();
    if (!led->stop_within(kLastWordWait)) {
        program_support::log("the LED service did not take the last clears within " + std::to_string(kLastWordWait.count()) +
                      " s; what they clear expires by itself");
        static_cast<void>(led.release());  // its thread may still use it
    }
    return 0;
}

}  // namespace

int program_main(int argc, char** argv) {
    program_support::log_as(kProgram);
    CLI::App app(
        "The LED tells the machine's state: each rule of a rules file (TOML; its format in triggers.md, with the "
        "documentation) names a condition of the machine, checked at its interval, and the indication the LED "
        "service shows while it holds. Runs in the foreground unless the system's service manager starts it; SIGHUP "
        "reads the rules again.",
        kProgram);
    std::string rules_file;
    std::string checked_file;
    std::string endpoint_name;
    app.add_option("--rules", rules_file,
                   "The rules file to run (the service manager's: " + triggers::system_rules_file() + ")")
        ->type_name("FILE");
    app.add_option("--check", checked_file,
                   "Check a rules file and exit: 0 when it has no mistake, 2 with each one "
                   "and its line")
        ->type_name("FILE");
    app.add_option("--endpoint", endpoint_name,
                   "The LED service's endpoint, as kav_morv_ledctl takes it (else KAV_MORV_LED_ENDPOINT, else the "
                   "system's)")
        ->type_name("NAME");
    triggers::add_system_options(app);
    if (const std::optional<int> status = command_line::parse(app, argc, argv)) {
        return *status;
    }
    if (!checked_file.empty()) {
        return check(checked_file);
    }
    if (endpoint_name.empty()) {
        endpoint_name = endpoint::configured();
    }
    const triggers::Run run_with = [&endpoint_name](const std::string& file, const triggers::Supervisor& supervisor) {
        return run(file, endpoint_name, supervisor);
    };
    if (const std::optional<int> status = triggers::run_system_choice(app, rules_file, run_with)) {
        return *status;
    }
    if (rules_file.empty()) {
        static_cast<void>(std::fprintf(stderr,
                                       "%s: --rules FILE or --check FILE is required\nRun '%s --help' for how to "
                                       "use it.\n",
                                       kProgram, kProgram));
        return command_line::kUsageError;
    }
    return run_with(rules_file, triggers::Supervisor{[](const triggers::Controls&) {}});
}
