#include "system.h"

#include "line_log.h"
#include "platform.h"
#include "rules.h"
#include "service_accounts.h"
#include "windows_service.h"
#include "windows_text.h"

#include <windows.h>
#include <CLI/CLI.hpp>
// This needs windows.h first.
#include <sddl.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

namespace triggers {
namespace {

const std::wstring kServiceName = platform::to_wide(service_accounts::kTriggers);

// What reads the rules again while the service runs, for the service manager's parameter-change
// control, which comes on a thread of its own.
std::mutex reload_mutex;
std::function<void()> reload_now;

void hand_reload(std::function<void()> reload) {
    const std::lock_guard<std::mutex> guard(reload_mutex);
    reload_now = std::move(reload);
}

// The rules file runs commands under the service's account: administrators and SYSTEM may change
// it, that account may read it, and nobody else may do either, whatever the folder would hand down.
std::wstring rules_security() {
    return L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;" + platform::to_wide(platform::service_account_sid(service_accounts::kTriggers)) + L")";
}

// Puts the rules file the service starts with in place, from `example`, unless one is there: an
// administrator's own rules outlive an upgrade.
int configure(const std::string& example) {
    const std::string path = system_rules_file();
    if (GetFileAttributesW(platform::to_wide(path).c_str()) != INVALID_FILE_ATTRIBUTES) {
        program_support::log(path + " is there already, and is kept");
        return 0;
    }
    std::ifstream stream(std::filesystem::u8path(example), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    std::vector<std::string> mistakes;
    if (!stream || !read_rules(text, mistakes)) {
        program_support::log(!stream ? example + ": cannot be read" : example + ":" + mistakes.front());
        return 2;
    }
    std::string news;
    std::string why_not;
    if (platform::secured_data_folder(news, why_not).empty()) {
        program_support::log(why_not);
        return 1;
    }
    if (!news.empty()) {
        program_support::log(news);
    }
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(rules_security().c_str(), SDDL_REVISION_1,
                                                              &security.lpSecurityDescriptor, nullptr)) {
        program_support::log("cannot make the rules file's security: " + platform::system_message(GetLastError()));
        return 1;
    }
    const HANDLE file = CreateFileW(platform::to_wide(path).c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    LocalFree(security.lpSecurityDescriptor);
    DWORD wrote = 0;
    const bool written = file != INVALID_HANDLE_VALUE &&
                         WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) &&
                         wrote == text.size();
    const DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (!written) {
        program_support::log("cannot write " + path + ": " + platform::system_message(error) + " (run it as administrator)");
        return 1;
    }
    program_support::log("wrote " + path + " from " + example + "; the service kav_morv_led_triggers reads it when it starts");
    return 0;
}

}  // namespace

std::string system_rules_file() {
    return platform::program_data_folder() + "\\kav_morv_led\\triggers.toml";
}

std::vector<int> stop_signals() {
    return {SIGINT, SIGTERM, SIGBREAK};
}

std::vector<int> reload_signals() {
    return {};
}

void add_system_options(CLI::App& app) {
    app.add_flag("--service", "How the service manager starts it")->group("");  // not for people
    CLI::App* configuring = app.add_subcommand(
        "configure", "Put the rules file the Windows service kav_morv_led_triggers starts with in place (" +
                         system_rules_file() + "), unless one is there, changeable by administrators alone");
    configuring->add_option("--rules-from", "The rules to put there (else triggers.example.toml beside the bin folder)")
        ->type_name("FILE");
    app.add_subcommand("start", "Start the Windows service kav_morv_led_triggers");
    app.add_subcommand("stop", "Stop the Windows service kav_morv_led_triggers, and wait until its process has ended");
    app.require_subcommand(0, 1);
}

std::optional<int> run_system_choice(const CLI::App& app, const std::string& rules_file, const Run& run) {
    if (app.got_subcommand("configure")) {
        const CLI::App& configuring = *app.get_subcommand("configure");
        return configure(configuring.count("--rules-from") > 0
                             ? configuring["--rules-from"]->as<std::string>()
                             : std::string(platform::own_module_folder()) + "\\..\\triggers.example.toml");
    }
    std::string why_not;
    if (app.got_subcommand("start") && !platform::start_windows_service(kServiceName, why_not)) {
        program_support::log("cannot start the service kav_morv_led_triggers: " + why_not);
        return 1;
    }
    if (app.got_subcommand("stop") && !platform::stop_windows_service(kServiceName, why_not)) {
        program_support::log("cannot stop the service kav_morv_led_triggers: " + why_not);
        return 1;
    }
    if (app.got_subcommand("start") || app.got_subcommand("stop")) {
        return 0;
    }
    if (app.count("--service") == 0) {
        return std::nullopt;
    }
    const std::string file = rules_file.empty() ? system_rules_file() : rules_file;
    const bool ran = platform::run_as_windows_service(
        kServiceName,
        [&run, &file](const auto& running) {
            program_support::log_to([](const std::string& line) { platform::write_to_event_log(kServiceName, line); });
            const int status = run(file, Supervisor{[&running](const Controls& controls) {
                                                        hand_reload(controls.reload);
                                                        running(controls.stop);
                                                    },
                                                    false});
            hand_reload(nullptr);
            return status;
        },
        [] {
            const std::lock_guard<std::mutex> guard(reload_mutex);
            if (reload_now) {
                reload_now();
            }
        });
    if (!ran) {
        static_cast<void>(std::fprintf(stderr,
                                       "kav_morv_led_triggers: --service is for the Service Control Manager, "
                                       "which did not start it\n"));
        return 1;
    }
    return 0;
}

}  // namespace triggers
