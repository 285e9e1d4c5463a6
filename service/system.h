// What differs between systems in running the service, besides its endpoint: where it keeps its
// state, and how the system's service manager installs, starts and stops it. One implementation
// per system.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace service {

// The state file unless --state says otherwise: under %ProgramData%\kav_morv_led on Windows, under
// /var/lib/kav_morv_led on POSIX.
std::string default_state_file();

// How a person stops the service in the foreground ("Ctrl-C or SIGTERM").
extern const char* const kHowToStop;
// Said after why the LED cannot be driven: where this build can drive none, that it cannot.
extern const char* const kWithoutHardware;

// The signals that stop the service as it should stop (DeInit, the LED left whole), and those that
// would end it by default, which it ignores instead.
std::vector<int> stop_signals();
std::vector<int> ignored_signals();

// How a running service tells whoever started it that it serves, and learns how to be stopped.
struct Lifecycle {
    // Called once the service serves, with what stops it (from any thread).
    std::function<void(std::function<void()> stop)> serving;
};

// Runs `serve` as the system's service manager asks (on Windows, the Service Control Manager, to
// which it reports each state; its log lines go to the system's event log). Returns the exit status.
int run_as_system_service(const std::function<int(const Lifecycle&)>& serve);

// Registers the service with the system's service manager, to start this program with `arguments`
// (the endpoint and state file chosen) at boot; and removes it. Return exit statuses, having said
// what they did.
int install_service(const std::vector<std::string>& arguments);
int uninstall_service();

}  // namespace service
