#include "system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <fstream>

namespace bridge {

std::string system_settings_file() {
    return "/etc/kav_morv_led/mqtt.conf";
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

std::string readable_by_others(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return "";  // reading it says why not
    }
    // As ssh does with a key: a secret others may read is no secret. The bridge's own group (the
    // service's) may read it, so that its unit can; none may write it but its owner.
    if ((status.st_mode & (S_IRWXO | S_IWGRP)) == 0) {
        return "";
    }
    char mode[8];
    static_cast<void>(std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777)));
    return path + " holds a password, but others may " + ((status.st_mode & S_IRWXO) != 0 ? "read" : "change") +
           " it (mode " + mode + "); make it its owner's and the bridge's group's alone: chmod 640 " + path;
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
