#include "system.h"

#include <csignal>

namespace triggers {

std::string system_rules_file() {
    return "/etc/kav_morv_led/triggers.toml";
}

std::vector<int> stop_signals() {
    return {SIGINT, SIGTERM, SIGQUIT};
}

std::vector<int> reload_signals() {
    return {SIGHUP};
}

void add_system_options(CLI::App&) {}

// systemd, or any init system, runs it as it is, and reloads it with SIGHUP.
std::optional<int> run_system_choice(const CLI::App&, const std::string&, const Run&) {
    return std::nullopt;
}

}  // namespace triggers
