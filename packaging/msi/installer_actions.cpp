// The installer's own actions, which Windows Installer's standard ones cannot do:
// - CheckBridgeSettings (immediate): refuses an MQTT_* property holding a control character, naming
//   it, before anything is changed; and lays out, for the deferred actions, the bridge's program and
//   the settings given, one "NAME = "VALUE"" line each, in the properties named after those
//   actions (MsiHiddenProperties keeps them, and MQTT_PASSWORD, out of every log).
// - RunConfigure (deferred, as SYSTEM): hands those lines to `kav_morv_led_mqtt configure --stdin`
//   through a pipe, never its command line, logs what it said, and fails the installation if it
//   refused them.
// - ForgetBridgeSecrets (immediate, last): empties every property that held the password once it
//   has been handed on, for an installer that logs its properties hidden or not (Wine's msiexec).
// - SetServiceRecovery (deferred, as SYSTEM): each service restarted after a failure, as the zip's
//   own install does; a service manager that keeps no failure actions is said, not failed.
#include <windows.h>
// These need windows.h first.
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

namespace {

// The bridge's settings, from the properties an administrator gives.
struct Property {
    const wchar_t* property;
    const wchar_t* setting;
};
constexpr Property kBridgeProperties[] = {
    {L"MQTT_BROKER", L"broker"}, {L"MQTT_MACHINE", L"machine"}, {L"MQTT_FLEET", L"fleet"},
    {L"MQTT_PRIORITY", L"priority"}, {L"MQTT_USER", L"user"}, {L"MQTT_PASSWORD", L"password"},
};
constexpr const wchar_t* kServices[] = {L"kav_morv_led", L"kav_morv_led_mqtt", L"kav_morv_led_triggers"};
// Restarted at once, then after 5 s, then after 30 s; the count starts again a day on.
constexpr DWORD kRestartDelaysMs[] = {1000, 5000, 30000};
constexpr DWORD kFailureResetSeconds = 24 * 3600;

std::wstring property(MSIHANDLE install, const wchar_t* name) {
    DWORD size = 0;
    wchar_t none[1] = L"";
    if (MsiGetPropertyW(install, name, none, &size) != ERROR_MORE_DATA) {
        return L"";
    }
    std::wstring value(++size, L'\0');
    if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) {
        return L"";
    }
    value.resize(size);
    return value;
}

// A line in the installation's log (and, with kError, the error the installation ends with).
void say(MSIHANDLE install, const std::wstring& line, INSTALLMESSAGE kind = INSTALLMESSAGE_INFO) {
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, line.c_str());
    MsiProcessMessage(install, kind, record);
}

bool has_control_character(const std::wstring& text) {
    for (const wchar_t c : text) {
        if (c < 0x20 || c == 0x7F) {
            return true;
        }
    }
    return false;
}

std::wstring system_message(DWORD error) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring said = text != nullptr ? text : L"error " + std::to_wstring(error);
    LocalFree(text);
    while (!said.empty() && (said.back() == L'\r' || said.back() == L'\n' || said.back() == L' ')) {
        said.pop_back();
    }
    return said;
}

std::string to_utf8(const std::wstring& wide) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size, nullptr, nullptr);
    return text;
}

std::wstring to_wide(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// Runs `program` `arguments` with `input` on its standard input; its exit status (or -1) and, in
// `output`, what it wrote.
int run(const std::wstring& program, const std::wstring& arguments, const std::string& input, std::string& output,
        std::wstring& why_not) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE input_read = nullptr;
    HANDLE input_write = nullptr;
    HANDLE output_read = nullptr;
    HANDLE output_write = nullptr;
    if (!CreatePipe(&input_read, &input_write, &inherited, 0) || !CreatePipe(&output_read, &output_write, &inherited, 0)) {
        why_not = L"cannot make a pipe: " + system_message(GetLastError());
        return -1;
    }
    SetHandleInformation(input_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(output_read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input_read;
    startup.hStdOutput = output_write;
    startup.hStdError = output_write;
    PROCESS_INFORMATION process{};
    std::wstring command_line = L"\"" + program + L"\" " + arguments;
    const bool started = CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, nullptr, &startup, &process);
    const DWORD error = GetLastError();
    CloseHandle(input_read);
    CloseHandle(output_write);
    int status = -1;
    if (!started) {
        why_not = L"cannot run " + program + L": " + system_message(error);
    } else {
        // Settings are a few lines, well within a pipe's buffer: written whole before the output is read.
        DWORD wrote = 0;
        WriteFile(input_write, input.data(), static_cast<DWORD>(input.size()), &wrote, nullptr);
        CloseHandle(input_write);
        input_write = nullptr;
        char buffer[4096];
        for (DWORD got = 0; ReadFile(output_read, buffer, sizeof buffer, &got, nullptr) && got > 0;) {
            output.append(buffer, got);
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD exit_code = 0;
        GetExitCodeProcess(process.hProcess, &exit_code);
        status = static_cast<int>(exit_code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (input_write != nullptr) {
        CloseHandle(input_write);
    }
    CloseHandle(output_read);
    return status;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckBridgeSettings(MSIHANDLE install) {
    const std::wstring program = property(install, L"BINDIR") + L"kav_morv_led_mqtt.exe";
    std::wstring lines;
    for (const Property& given : kBridgeProperties) {
        const std::wstring value = property(install, given.property);
        if (has_control_character(value)) {
            say(install, std::wstring(given.property) + L" holds a control character (a line break, a tab): no setting may",
                INSTALLMESSAGE_ERROR);
            return ERROR_INSTALL_FAILURE;
        }
        if (!value.empty()) {
            // In quotes, so that it is read back exactly, spaces and quotes of its own included.
            lines += std::wstring(given.setting) + L" = \"" + value + L"\"\n";
        }
    }
    // What each deferred action is handed: the program, then the lines for its standard input.
    MsiSetPropertyW(install, L"ConfigureBridge", lines.empty() ? L"" : (program + L"\n" + lines).c_str());
    // The password is forgotten only when the product goes, not when a newer version that is
    // installed already removes this one (which not every msiexec says with UPGRADINGPRODUCTCODE).
    const std::wstring upgrade_code = property(install, L"UpgradeCode");
    const std::wstring product = property(install, L"ProductCode");
    bool replaced = false;
    wchar_t related[39];
    for (DWORD index = 0; MsiEnumRelatedProductsW(upgrade_code.c_str(), 0, index, related) == ERROR_SUCCESS; ++index) {
        replaced = replaced || product != related;
    }
    MsiSetPropertyW(install, L"ForgetBridgePassword", replaced ? L"" : (program + L"\npassword =\n").c_str());
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RunConfigure(MSIHANDLE install) {
    const std::wstring data = property(install, L"CustomActionData");
    const auto end = data.find(L'\n');
    if (end == std::wstring::npos) {
        say(install, L"RunConfigure was handed no program", INSTALLMESSAGE_ERROR);
        return ERROR_INSTALL_FAILURE;
    }
    std::string output;
    std::wstring why_not;
    const int status = run(data.substr(0, end), L"configure --stdin", to_utf8(data.substr(end + 1)), output, why_not);
    // What configure says names settings, never their values.
    for (std::size_t start = 0; start < output.size();) {
        const std::size_t stop = std::min(output.find('\n', start), output.size());
        std::string line = output.substr(start, stop - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            say(install, to_wide(line));
        }
        start = stop + 1;
    }
    if (status != 0) {
        say(install, why_not.empty() ? L"kav_morv_led_mqtt configure refused the MQTT_* settings (exit status " +
                                           std::to_wstring(status) + L"): see the lines above"
                                     : why_not,
            INSTALLMESSAGE_ERROR);
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall ForgetBridgeSecrets(MSIHANDLE install) {
    for (const wchar_t* name : {L"MQTT_PASSWORD", L"ConfigureBridge", L"ForgetBridgePassword", L"CustomActionData"}) {
        MsiSetPropertyW(install, name, L"");
    }
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall SetServiceRecovery(MSIHANDLE install) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_ACTION actions[std::size(kRestartDelaysMs)];
    for (std::size_t index = 0; index < std::size(kRestartDelaysMs); ++index) {
        actions[index] = {SC_ACTION_RESTART, kRestartDelaysMs[index]};
    }
    SERVICE_FAILURE_ACTIONSW failure{kFailureResetSeconds, nullptr, nullptr, std::size(kRestartDelaysMs), actions};
    // Also when it stops with an error of its own, not only when it crashes.
    SERVICE_FAILURE_ACTIONS_FLAG on_error{TRUE};
    for (const wchar_t* name : kServices) {
        const SC_HANDLE service =
            manager != nullptr ? OpenServiceW(manager, name, SERVICE_CHANGE_CONFIG | SERVICE_START) : nullptr;
        if (service == nullptr) {
            continue;  // not installed: an optional feature left out
        }
        if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) ||
            !ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_error)) {
            say(install, L"this system's service manager does not keep the restart of " + std::wstring(name) +
                             L" after a failure: " + system_message(GetLastError()));
        } else {
            say(install, std::wstring(name) + L" is restarted after a failure");
        }
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return ERROR_SUCCESS;
}
