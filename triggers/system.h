// What differs between systems in running the triggers program: where its rules are, the signals
// that stop and reload it, and the service manager. One implementation per system, which offers on
// the command line only what its system has.
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

namespace triggers {

// What stops the program, and what reads its rules again (callable from any thread).
struct Controls {
    std::function<void()> stop;
    std::function<void()> reload;
};
// Whoever started the program: told once it runs. A console stops and reloads it by signals; a
// service manager by its own controls, and its process takes no heed of signals.
struct Supervisor {
    std::function<void(const Controls&)> running;
    bool by_signals = true;
};
using Run = std::function<int(const std::string& rules_file, const Supervisor&)>;

// The rules file the system's service manager starts it with: in /etc/kav_morv_led, or the
// machine's program-data folder.
std::string system_rules_file();

std::vector<int> stop_signals();
std::vector<int> reload_signals();

// Adds what this system offers on the command line (Windows: its service manager's --service).
void add_system_options(CLI::App& app);
// Carries out what the command line chose of those: its exit status; none when nothing of the kind.
std::optional<int> run_system_choice(const CLI::App& app, const std::string& rules_file, const Run& run);

}  // namespace triggers
