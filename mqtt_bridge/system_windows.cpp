#include "system.h"

#include "configure.h"
#include "endpoint.h"
#include "line_log.h"
#include "windows_service.h"
#include "windows_text.h"

#include <CLI/CLI.hpp>
#include <winsock2.h>
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

namespace bridge {
namespace {

const std::wstring kServiceName = platform::to_wide(endpoint::kBridgeServiceName);

// Starts the installed service, when it has settings to start with.
int start_installed_service() {
    const std::string settings = system_settings_file();
    if (GetFileAttributesW(platform::to_wide(settings).c_str()) == INVALID_FILE_ATTRIBUTES) {
        program_support::log("the service kav_morv_led_mqtt is not started: it has no settings yet (" + settings +
            "); kav_morv_led_mqtt configure --broker mqtt://HOST writes them");
        return 0;
    }
    std::string why_not;
    if (!platform::start_windows_service(kServiceName, why_not)) {
        program_support::log("cannot start the service kav_morv_led_mqtt: " + why_not);
        return 1;
    }
    return 0;
}

}  // namespace

std::string system_settings_file() {
    return platform::program_data_folder() + "\\kav_morv_led\\mqtt.conf";
}

std::string error_text(int number) {
    // Winsock's codes start at WSABASEERR (10000); below are the C library's own.
    return number >= 10000 ? platform::system_message(static_cast<unsigned long>(number)) : std::strerror(number);
}

bool would_block(int number) {
    return number == WSAEWOULDBLOCK;
}

std::string host_name() {
    wchar_t name[256];
    DWORD size = 256;
    return GetComputerNameExW(ComputerNameDnsHostname, name, &size) ? platform::to_utf8(name) : "";
}

std::string machine_id() {
    wchar_t id[64];
    DWORD size = sizeof id;
    const LSTATUS read = RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", L"MachineGuid",
                                      RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, id, &size);
    return read == ERROR_SUCCESS ? platform::to_utf8(id) : "";
}

std::vector<int> stop_signals() {
    return {SIGINT, SIGTERM, SIGBREAK};
}

void add_system_options(CLI::App& app, Settings& settings) {
    app.add_flag("--service", "How the service manager starts it")->group("");  // not for people
    CLI::App* configuring = app.add_subcommand(
        "configure", "Change the settings the Windows service kav_morv_led_mqtt starts with (" + system_settings_file() +
                         "), readable by administrators and the service alone: only those given, as options or, with "
                         "--stdin, as NAME = VALUE lines (user and password among them); an empty value takes one out");
    for (const Field& field : fields()) {
        if (field.on_command_line) {
            configuring->add_option(std::string("--") + field.name, settings.*(field.value), field.help);
        }
    }
    configuring->add_flag("--stdin", "Read more settings from standard input, as the settings file's NAME = VALUE "
                                     "lines: how the broker's user and password are given");
    app.add_subcommand("start", "Start the Windows service kav_morv_led_mqtt, if it has settings to start with");
    app.add_subcommand("stop", "Stop the Windows service kav_morv_led_mqtt, and wait until its process has ended");
    app.require_subcommand(0, 1);
}

std::optional<int> run_system_choice(const CLI::App& app, const Settings& settings, const Run& run) {
    if (app.got_subcommand("configure")) {
        const CLI::App& configuring = *app.get_subcommand("configure");
        std::vector<Setting> changes;
        for (const Field& field : fields()) {
            if (field.on_command_line && configuring.count(std::string("--") + field.name) > 0) {
                changes.push_back({field.name, settings.*(field.value)});
            }
        }
        return configure(changes, configuring.count("--stdin") > 0);
    }
    if (app.got_subcommand("start")) {
        return start_installed_service();
    }
    if (app.got_subcommand("stop")) {
        std::string why_not;
        if (platform::stop_windows_service(kServiceName, why_not)) {
            return 0;
        }
        program_support::log("cannot stop the service kav_morv_led_mqtt: " + why_not);
        return 1;
    }
    if (app.count("--service") == 0) {
        return std::nullopt;
    }
    const bool ran = platform::run_as_windows_service(kServiceName, [&run, &settings](const auto& running) {
        program_support::log_to([](const std::string& line) { platform::write_to_event_log(kServiceName, line); });
        return run(settings, system_settings_file(), Supervisor{running, false});
    });
    if (!ran) {
        static_cast<void>(std::fprintf(stderr, "kav_morv_led_mqtt: --service is for the Service Control Manager, which "
                                               "did not start it\n"));
        return 1;
    }
    return 0;
}

}  // namespace bridge
