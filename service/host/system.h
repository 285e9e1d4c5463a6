// What differs between systems in running the service: its settings to start from, how it is
// stopped, and what the system's service manager does with it. One implementation per system,
// which offers on the command line only what its system has.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

// CLI11's parser, declared only: the files that add options or read what was chosen include CLI11
// themselves, and the others need not compile it.
namespace CLI {
class App;
}  // namespace CLI

namespace service {

struct Settings {
    std::string endpoint;    // a socket path on POSIX, a pipe name on Windows
    std::string state_file;  // what is asked, kept across restarts
    std::string group;       // POSIX: whose members may use the socket, beside root
    bool wait_for_led = false;  // a LED that cannot be driven yet is tried again, not refused
};

// The settings unless the command line says otherwise: the endpoint KAV_MORV_LED_ENDPOINT names
// (else the system's), the state file under /var/lib/kav_morv_led or the machine's program-data
// folder, and on POSIX the group kav_morv_led.
Settings default_settings();

// How a person stops the service in the foreground ("Ctrl-C or SIGTERM"), and runs it otherwise.
extern const char* const kHowToStop;
extern const char* const kHowToRun;
// Said after why the LED cannot be driven: where this build can drive none, that it cannot.
extern const char* const kWithoutHardware;

// The signals that stop the service as it should stop (DeInit, the LED left whole), and those that
// would end it by default, which it ignores instead.
std::vector<int> stop_signals();
std::vector<int> ignored_signals();

// Whoever started the service: told once it serves, with what stops it (callable from any thread).
// The console does nothing with it; Windows' service manager reports the service running.
struct Supervisor {
    std::function<void(std::function<void()> stop)> serving;
};
using Serve = std::function<int(const Supervisor&)>;

// Adds what this system offers on the command line: on Windows, install, uninstall, start, stop
// and the service manager's own --service; nothing on POSIX.
void add_system_options(CLI::App& app, Settings& settings);

// Carries out what the command line chose of those, when it is other than serving in the console
// (installing, removing, serving under the service manager): its exit status, having said what it
// did; none when nothing of the kind was chosen.
std::optional<int> run_system_choice(const CLI::App& app, const Settings& settings, const Serve& serve);

}  // namespace service
