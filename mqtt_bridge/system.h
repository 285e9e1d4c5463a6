// What differs between systems in running the bridge: where its settings are, this machine's
// names, and the service manager. One implementation per system, which offers on the command line
// only what its system has.
#pragma once

#include "settings.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// CLI11's parser, declared only: the files that add options or read what was chosen include CLI11
// themselves, and the others need not compile it.
namespace CLI {
class App;
}  // namespace CLI

namespace bridge {

// Whoever started the bridge: told once it runs, with what stops it (callable from any thread).
// A service manager stops it; a console, by signals (Ctrl-C, SIGTERM), which a service manager's
// process takes no heed of.
struct Supervisor {
    std::function<void(std::function<void()> stop)> running;
    bool stops_by_signal = true;
};
using Run = std::function<int(const Settings& settings, const std::string& settings_file, const Supervisor&)>;

// The settings file the system's service manager starts the bridge with: in /etc/kav_morv_led, or
// the machine's program-data folder.
std::string system_settings_file();

// What the system says of an error number of the MQTT library's (errno; on Windows, where the
// library keeps Winsock's codes there, those too).
std::string error_text(int number);
// Whether the MQTT library's last read stopped as nothing more was there to read (EAGAIN, or
// Winsock's WSAEWOULDBLOCK).
bool would_block(int number);

std::string host_name();
// The system's own id of this machine; empty when it has none.
std::string machine_id();

// The signals that stop the bridge.
std::vector<int> stop_signals();

// Adds what this system offers on the command line (Windows: its service manager's --service, and
// configure, which writes the settings file for it).
void add_system_options(CLI::App& app, Settings& settings);
// Carries out what the command line chose of those: its exit status; none when nothing of the kind.
std::optional<int> run_system_choice(const CLI::App& app, const Settings& settings, const Run& run);

}  // namespace bridge
