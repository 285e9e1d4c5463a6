#include "system.h"

#include "endpoint.h"

#include <csignal>

namespace service {

const char* const kHowToStop = "Ctrl-C, SIGTERM, SIGHUP or SIGQUIT";
const char* const kHowToRun =
    "say --foreground to run it in this console; the systemd unit kav_morv_led.service runs it so";
const char* const kWithoutHardware =
    "; on this system only the simulated LED can be driven: this build is for development and tests";

Settings default_settings() {
    return {endpoint::configured(), "/var/lib/kav_morv_led/state.json", "kav_morv_led"};
}

// Every signal another process may send whose default would end the service either stops it or is
// ignored; those that report a fault of its own (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS,
// SIGTRAP) stay faults.
std::vector<int> stop_signals() {
    std::vector<int> signals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU};
#ifdef SIGSTKFLT
    signals.push_back(SIGSTKFLT);  // Linux's; unused, and so only ever sent by another process
#endif
    return signals;
}

std::vector<int> ignored_signals() {
    std::vector<int> signals = {SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGPWR};
    for (int realtime = SIGRTMIN; realtime <= SIGRTMAX; ++realtime) {
        signals.push_back(realtime);
    }
    return signals;
}

void add_system_options(CLI::App&, Settings&) {}

// systemd, or any init system, runs the service in the foreground.
std::optional<int> run_system_choice(const CLI::App&, const Settings&, const Serve&) {
    return std::nullopt;
}

}  // namespace service
