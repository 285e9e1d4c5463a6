#include "system.h"

#include "endpoint.h"
#include "log.h"
#include "windows_service.h"
#include "windows_text.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <mutex>

namespace triggers {
namespace {

const std::wstring kServiceName = platform::to_wide(endpoint::kTriggersServiceName);

// What reads the rules again while the service runs, for the service manager's parameter-change
// control, which comes on a thread of its own.
std::mutex reload_mutex;
std::function<void()> reload_now;

void hand_reload(std::function<void()> reload) {
    const std::lock_guard<std::mutex> guard(reload_mutex);
    reload_now = std::move(reload);
}

}  // namespace

std::string system_rules_file() {
    return platform::program_data_folder() + "\\kav_morv_led\\triggers.toml";
}

std::vector<int> stop_signals() {
    return {SIGINT, SIGTERM, SIGBREAK};
}

std::vector<int> reload_signals() {
    return {};
}

void add_system_options(CLI::App& app) {
    app.add_flag("--service", "How the service manager starts it")->group("");  // not for people
}

std::optional<int> run_system_choice(const CLI::App& app, const std::string& rules_file, const Run& run) {
    if (app.count("--service") == 0) {
        return std::nullopt;
    }
    const std::string file = rules_file.empty() ? system_rules_file() : rules_file;
    const bool ran = platform::run_as_windows_service(
        kServiceName,
        [&run, &file](const auto& running) {
            say_to([](const std::string& line) { platform::write_to_event_log(kServiceName, line); });
            const int status = run(file, Supervisor{[&running](const Controls& controls) {
                                                        hand_reload(controls.reload);
                                                        running(controls.stop);
                                                    },
                                                    false});
            hand_reload(nullptr);
            return status;
        },
        [] {
            const std::lock_guard<std::mutex> guard(reload_mutex);
            if (reload_now) {
                reload_now();
            }
        });
    if (!ran) {
        static_cast<void>(std::fprintf(stderr, "kav_morv_led_triggers: --service is for the Service Control Manager, "
                                               "which did not start it\n"));
        return 1;
    }
    return 0;
}

}  // namespace triggers
