#include "system.h"

#include <csignal>
#include <cstdio>

namespace service {
namespace {

// systemd (or any init system) runs the service in the foreground, from the unit it installs.
int use_the_unit() {
    static_cast<void>(
        std::fputs("kav_morv_led_service: on this system the service manager starts it from its unit file: install "
                   "kav_morv_led.service (cmake --install puts it in lib/systemd/system) and run "
                   "'systemctl enable --now kav_morv_led'; other init systems run it with --foreground\n",
                   stderr));
    return 2;
}

}  // namespace

const char* const kHowToStop = "Ctrl-C, SIGTERM, SIGHUP or SIGQUIT";
const char* const kWithoutHardware =
    "; on this system only the simulated LED can be driven: this build is for development and tests";

std::vector<int> stop_signals() {
    return {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
}

std::vector<int> ignored_signals() {
    std::vector<int> signals = {SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGPWR};
    for (int realtime = SIGRTMIN; realtime <= SIGRTMAX; ++realtime) {
        signals.push_back(realtime);
    }
    return signals;
}

std::string default_state_file() {
    return "/var/lib/kav_morv_led/state.json";
}

int run_as_system_service(const std::function<int(const Lifecycle&)>&) {
    return use_the_unit();
}

int install_service(const std::vector<std::string>&) {
    return use_the_unit();
}

int uninstall_service() {
    return use_the_unit();
}

}  // namespace service
