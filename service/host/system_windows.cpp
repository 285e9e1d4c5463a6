#include "system.h"

#include "endpoint.h"
#include "line_log.h"
#include "listener.h"
#include "windows_service.h"
#include "windows_text.h"

#include <windows.h>
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <vector>

namespace service {
namespace {

constexpr const wchar_t* kServiceName = L"kav_morv_led";
constexpr const wchar_t* kDisplayName = L"KAV MORV LED service";
constexpr const wchar_t* kDescription =
    L"Owns the built-in multi-colour LED and shows what local programs ask of it, by priority.";
// Restarted after a failure: at once, then after 5 s, then after 30 s; the count starts again a day on.
constexpr DWORD kFailureResetSeconds = 24 * 3600;
constexpr DWORD kRestartDelaysMs[] = {1000, 5000, 30000};

std::wstring own_path() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            return std::wstring(path.data(), length);
        }
        path.resize(path.size() * 2);
    }
}

// One argument as the C runtime's command-line parser (and CommandLineToArgvW) reads it back
// whole: as it is when nothing in it needs quoting; otherwise quoted, with each quote escaped and
// the backslashes before a quote doubled.
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        out += c;
        backslashes = 0;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

int fail(const char* what) {
    static_cast<void>(
        std::fprintf(stderr, "kav_morv_led_service: %s: %s\n", what, platform::system_message(GetLastError()).c_str()));
    return 1;
}

std::string program_data_state_file() {
    return platform::program_data_folder() + "\\kav_morv_led\\state.json";
}

int run_under_service_manager(const Serve& serve) {
    const bool ran = platform::run_as_windows_service(kServiceName, [&serve](const auto& running) {
        program_support::log_to([](const std::string& line) { platform::write_to_event_log(kServiceName, line); });
        // Made, or mended, before the state file is written in it.
        std::string news;
        std::string why_not;
        if (platform::secured_data_folder(news, why_not).empty()) {
            program_support::log(why_not);
            return 1;
        }
        if (!news.empty()) {
            program_support::log(news);
        }
        return serve(Supervisor{running});
    });
    return ran ? 0 : fail("--service is for the Service Control Manager, which did not start it");
}

int install_service(const std::vector<std::string>& arguments) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        return fail("cannot open the Service Control Manager (run as administrator)");
    }
    std::wstring command_line = quoted(own_path()) + L" --service";
    for (const std::string& argument : arguments) {
        command_line += L" " + quoted(platform::to_wide(argument));
    }
    // No account named: it runs as LocalSystem, which the driver library needs.
    const SC_HANDLE service = CreateServiceW(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                             command_line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
        const int status = fail(GetLastError() == ERROR_SERVICE_EXISTS
                                    ? "the service kav_morv_led is installed already; uninstall it first"
                                    : "cannot install the service kav_morv_led");
        CloseServiceHandle(manager);
        return status;
    }
    SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(kDescription)};
    SC_ACTION actions[std::size(kRestartDelaysMs)];
    for (std::size_t index = 0; index < std::size(kRestartDelaysMs); ++index) {
        actions[index] = {SC_ACTION_RESTART, kRestartDelaysMs[index]};
    }
    SERVICE_FAILURE_ACTIONSW failure{kFailureResetSeconds, nullptr, nullptr, std::size(kRestartDelaysMs), actions};
    // Also when it stops with an error of its own (the LED cannot be started), not only when it
    // crashes.
    SERVICE_FAILURE_ACTIONS_FLAG on_error{TRUE};
    const int status = ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description)
                           ? 0
                           : fail("installed the service kav_morv_led, but cannot describe it");
    if (status == 0 && !(ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) &&
                         ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_error))) {
        static_cast<void>(
            std::fprintf(stderr,
                         "kav_morv_led_service: this system's service manager does not keep the restart after a "
                         "failure (%s); the service runs without it\n",
                         platform::system_message(GetLastError()).c_str()));
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (status == 0) {
        static_cast<void>(std::puts("Installed the service kav_morv_led; start it with 'net start kav_morv_led'."));
    }
    return status;
}

int uninstall_service() {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service = manager == nullptr
                                  ? nullptr
                                  : OpenServiceW(manager, kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        const int status = fail("cannot open the service kav_morv_led");
        if (manager != nullptr) {
            CloseServiceHandle(manager);
        }
        return status;
    }
    SERVICE_STATUS status{};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        for (int waited = 0; waited < 100 && status.dwCurrentState != SERVICE_STOPPED; ++waited) {
            Sleep(100);
            QueryServiceStatus(service, &status);
        }
    }
    const bool deleted = DeleteService(service);
    const int exit_status = deleted ? 0 : fail("cannot remove the service kav_morv_led");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (deleted) {
        static_cast<void>(std::puts("Removed the service kav_morv_led."));
    }
    return exit_status;
}

// The arguments an installed service is started with: the options given with install.
std::vector<std::string> installed_arguments(const CLI::App& app, const Settings& settings) {
    std::vector<std::string> arguments;
    if (app.count("--endpoint") > 0) {
        arguments.insert(arguments.end(), {"--endpoint", settings.endpoint});
    }
    if (app.count("--state") > 0) {
        arguments.insert(arguments.end(), {"--state", settings.state_file});
    }
    // Installed before its driver libraries, it waits for them rather than fail.
    arguments.emplace_back("--wait-for-led");
    return arguments;
}

}  // namespace

const char* const kHowToStop = "Ctrl-C";
const char* const kHowToRun = "say --foreground to run it in this console, or install it as a Windows service";
const char* const kWithoutHardware = "";

Settings default_settings() {
    return {endpoint::configured(), program_data_state_file(), ""};
}

std::vector<int> stop_signals() {
    return {SIGINT, SIGTERM, SIGBREAK};
}

std::vector<int> ignored_signals() {
    return {};
}

void add_system_options(CLI::App& app, Settings&) {
    app.add_flag("--service", "How the service manager starts it")->group("");  // not for people
    app.add_subcommand("install", "Install it as a Windows service that starts at boot");
    app.add_subcommand("uninstall", "Stop the installed Windows service and remove it");
    app.add_subcommand("start", "Start the installed Windows service, as net start kav_morv_led does");
    app.add_subcommand("stop", "Stop the installed Windows service, and wait until its process has ended");
    app.require_subcommand(0, 1);
}

std::optional<int> run_system_choice(const CLI::App& app, const Settings& settings, const Serve& serve) {
    if (app.got_subcommand("install")) {
        const std::string refusal = endpoint_refusal(settings.endpoint);
        if (!refusal.empty()) {
            program_support::log("cannot install it to serve " + endpoint::address(settings.endpoint) + ": " + refusal);
            return 1;
        }
        return install_service(installed_arguments(app, settings));
    }
    if (app.got_subcommand("uninstall")) {
        return uninstall_service();
    }
    if (app.got_subcommand("start") || app.got_subcommand("stop")) {
        const bool starting = app.got_subcommand("start");
        std::string why_not;
        if (starting ? platform::start_windows_service(kServiceName, why_not)
                     : platform::stop_windows_service(kServiceName, why_not)) {
            return 0;
        }
        static_cast<void>(std::fprintf(stderr, "kav_morv_led_service: cannot %s the service kav_morv_led: %s\n",
                                       starting ? "start" : "stop", why_not.c_str()));
        return 1;
    }
    if (app.count("--service") > 0) {
        return run_under_service_manager(serve);
    }
    return std::nullopt;
}

}  // namespace service
