#include "system.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fstream>

namespace bridge {

std::string system_settings_file() {
    return "/etc/kav_morv_led/mqtt.conf";
}

std::string error_text(int number) {
    return std::strerror(number);
}

bool would_block(int number) {
    return number == EAGAIN || number == EWOULDBLOCK;
}

std::string host_name() {
    char name[HOST_NAME_MAX + 1] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

std::string machine_id() {
    std::ifstream file("/etc/machine-id");
    std::string id;
    std::getline(file, id);
    return id;
}

std::vector<int> stop_signals() {
    return {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
}

void add_system_options(CLI::App&, Settings&) {}

// systemd, or any init system, runs the bridge as it is.
std::optional<int> run_system_choice(const CLI::App&, const Settings&, const Run&) {
    return std::nullopt;
}

}  // namespace bridge
