#include "system.h"

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

std::string default_state_file() {
    return "/var/lib/kav_morv_led/state.json";
}

int run_as_system_service(const std::function<int(const Lifecycle&)>&) {
    return use_the_unit();
}

int install_service(const std::string&) {
    return use_the_unit();
}

int uninstall_service() {
    return use_the_unit();
}

}  // namespace service
