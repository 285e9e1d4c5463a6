#include "system.h"

#include "bridge_log.h"
#include "endpoint.h"
#include "windows_service.h"
#include "windows_text.h"

#include <CLI/CLI.hpp>
#include <windows.h>
// These need windows.h first.
#include <aclapi.h>
#include <sddl.h>

#include <csignal>
#include <cstdio>
#include <vector>

namespace bridge {
namespace {

const std::wstring kServiceName = platform::to_wide(endpoint::kBridgeServiceName);

// The settings file: administrators and SYSTEM may change it, the bridge's service account may
// read it, and nobody else may do either, whatever the folder would hand down.
std::wstring settings_security() {
    return L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;" + platform::to_wide(endpoint::kBridgeServiceSid) + L")";
}

// Who a SID is, when it is one of the groups that hold every user (or nobody in particular).
const char* everyone_of(PSID sid) {
    const std::pair<WELL_KNOWN_SID_TYPE, const char*> groups[] = {
        {WinWorldSid, "Everyone"},         {WinAuthenticatedUserSid, "Authenticated Users"},
        {WinBuiltinUsersSid, "Users"},     {WinInteractiveSid, "INTERACTIVE"},
        {WinBuiltinGuestsSid, "Guests"},   {WinAnonymousSid, "ANONYMOUS LOGON"},
    };
    for (const auto& [kind, name] : groups) {
        if (IsWellKnownSid(sid, kind)) {
            return name;
        }
    }
    return nullptr;
}

int configure(const Settings& settings, const CLI::App& configuring) {
    const std::string folder = platform::program_data_folder() + "\\kav_morv_led";
    const std::string path = system_settings_file();
    CreateDirectoryW(platform::to_wide(folder).c_str(), nullptr);
    std::string text = "# Written by kav_morv_led_mqtt configure; read by the service kav_morv_led_mqtt.\r\n";
    for (const Field& field : fields()) {
        const std::string& value = settings.*(field.value);
        if (configuring.count(std::string("--") + field.name) > 0 && !value.empty()) {
            text += std::string(field.name) + " = " + value + "\r\n";
        }
    }
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(settings_security().c_str(), SDDL_REVISION_1,
                                                              &security.lpSecurityDescriptor, nullptr)) {
        say("cannot make the settings file's security: " + platform::system_message(GetLastError()));
        return 1;
    }
    // Made anew, so that it has this security and not an old file's.
    DeleteFileW(platform::to_wide(path).c_str());
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
        say("cannot write " + path + ": " + platform::system_message(error) + " (run it as administrator)");
        return 1;
    }
    say("wrote " + path + "; the service kav_morv_led_mqtt reads it when it starts");
    return 0;
}

// Starts the installed service, when it has settings to start with.
int start_installed_service() {
    const std::string settings = system_settings_file();
    if (GetFileAttributesW(platform::to_wide(settings).c_str()) == INVALID_FILE_ATTRIBUTES) {
        say("the service kav_morv_led_mqtt is not started: it has no settings yet (" + settings +
            "); kav_morv_led_mqtt configure --broker mqtt://HOST writes them");
        return 0;
    }
    std::string why_not;
    if (!platform::start_windows_service(kServiceName, why_not)) {
        say("cannot start the service kav_morv_led_mqtt: " + why_not);
        return 1;
    }
    return 0;
}

}  // namespace

std::string system_settings_file() {
    return platform::program_data_folder() + "\\kav_morv_led\\mqtt.conf";
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

std::string readable_by_others(const std::string& path) {
    PACL access = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(platform::to_wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &access, nullptr, &descriptor) != ERROR_SUCCESS) {
        return "";  // reading it says why not
    }
    const char* who = access == nullptr ? "Everyone" : nullptr;
    for (DWORD index = 0; access != nullptr && who == nullptr && index < access->AceCount; ++index) {
        void* entry = nullptr;
        if (GetAce(access, index, &entry) && static_cast<ACE_HEADER*>(entry)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
            const DWORD reading = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
            if ((allowed->Mask & reading) != 0) {
                who = everyone_of(const_cast<DWORD*>(&allowed->SidStart));
            }
        }
    }
    LocalFree(descriptor);
    if (who == nullptr) {
        return "";
    }
    return path + " holds a password, but " + who + " may read it; make it administrators' and the service's "
           "alone: kav_morv_led_mqtt configure writes it so, or icacls \"" + path +
           "\" /inheritance:r /grant:r Administrators:F SYSTEM:F \"NT SERVICE\\kav_morv_led_mqtt\":R";
}

std::vector<int> stop_signals() {
    return {SIGINT, SIGTERM, SIGBREAK};
}

void add_system_options(CLI::App& app, Settings& settings) {
    app.add_flag("--service", "How the service manager starts it")->group("");  // not for people
    CLI::App* configuring = app.add_subcommand(
        "configure", "Write the settings the Windows service kav_morv_led_mqtt starts with (" + system_settings_file() +
                         "), readable by administrators and the service alone: the options given, and the broker's "
                         "--user and --password");
    for (const Field& field : fields()) {
        configuring->add_option(std::string("--") + field.name, settings.*(field.value),
                                field.on_command_line ? field.help : "The broker's " + std::string(field.name));
    }
    app.add_subcommand("start", "Start the Windows service kav_morv_led_mqtt, if it has settings to start with");
    app.add_subcommand("stop", "Stop the Windows service kav_morv_led_mqtt, and wait until its process has ended");
    app.require_subcommand(0, 1);
}

std::optional<int> run_system_choice(const CLI::App& app, const Settings& settings, const Run& run) {
    if (app.got_subcommand("configure")) {
        return configure(settings, *app.get_subcommand("configure"));
    }
    if (app.got_subcommand("start")) {
        return start_installed_service();
    }
    if (app.got_subcommand("stop")) {
        std::string why_not;
        if (platform::stop_windows_service(kServiceName, why_not)) {
            return 0;
        }
        say("cannot stop the service kav_morv_led_mqtt: " + why_not);
        return 1;
    }
    if (app.count("--service") == 0) {
        return std::nullopt;
    }
    const bool ran = platform::run_as_windows_service(kServiceName, [&run, &settings](const auto& running) {
        say_to([](const std::string& line) { platform::write_to_event_log(kServiceName, line); });
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
