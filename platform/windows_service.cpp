#include "windows_service.h"

#include "windows_text.h"

#include <windows.h>

#include <shlobj.h>

#include <mutex>
#include <string>
#include <utility>

namespace platform {
namespace {

// How long the service may take to start (the LED's Init waits 500 ms) and to stop.
constexpr DWORD kStartHintMs = 10000;
constexpr DWORD kStopHintMs = 10000;

// What the Service Control Manager knows of the running service, and how to stop it.
struct Running {
    std::mutex mutex;
    std::wstring name;
    SERVICE_STATUS_HANDLE handle = nullptr;
    DWORD checkpoint = 0;
    std::function<void()> stop;
    bool stop_asked = false;
    ServiceBody body;
};

Running& running() {
    static Running state;
    return state;
}

void report(DWORD state, DWORD wait_hint, DWORD exit_status = 0) {
    Running& service = running();
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    // A failure is reported as such, so that the recovery actions restart the service.
    status.dwWin32ExitCode = exit_status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exit_status;
    const bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
    status.dwCheckPoint = settled ? 0 : ++service.checkpoint;
    status.dwWaitHint = wait_hint;
    SetServiceStatus(service.handle, &status);
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Running& service = running();
        const std::lock_guard<std::mutex> guard(service.mutex);
        report(SERVICE_STOP_PENDING, kStopHintMs);
        service.stop_asked = true;
        if (service.stop) {
            service.stop();
        }
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI service_main(DWORD, LPWSTR*) {
    Running& service = running();
    service.handle = RegisterServiceCtrlHandlerExW(service.name.c_str(), on_control, nullptr);
    if (service.handle == nullptr) {
        return;
    }
    report(SERVICE_START_PENDING, kStartHintMs);
    const int status = service.body([&service](std::function<void()> stop) {
        const std::lock_guard<std::mutex> guard(service.mutex);
        service.stop = std::move(stop);
        report(SERVICE_RUNNING, 0);
        if (service.stop_asked) {
            service.stop();
        }
    });
    {
        const std::lock_guard<std::mutex> guard(service.mutex);
        service.stop = nullptr;
    }
    report(SERVICE_STOPPED, 0, static_cast<DWORD>(status));
}

}  // namespace

bool run_as_windows_service(const std::wstring& name, ServiceBody body) {
    running().name = name;
    running().body = std::move(body);
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(running().name.c_str()), service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) != 0;
}

bool start_windows_service(const std::wstring& name, std::string& why_not) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service =
        manager != nullptr ? OpenServiceW(manager, name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS) : nullptr;
    DWORD error = service != nullptr ? ERROR_SUCCESS : GetLastError();
    // One that is still stopping (an installer stopped it a moment ago) is let stop first; then it
    // is started, and seen to run (or to stop, having failed).
    const ULONGLONG deadline = GetTickCount64() + kStartHintMs + kStopHintMs;
    bool running = false;
    bool asked = false;
    SERVICE_STATUS status{};
    while (service != nullptr && !running && error == ERROR_SUCCESS && GetTickCount64() < deadline) {
        if (!QueryServiceStatus(service, &status)) {
            error = GetLastError();
        } else if (status.dwCurrentState == SERVICE_RUNNING) {
            running = true;
        } else if (status.dwCurrentState == SERVICE_STOPPED && asked) {
            error = status.dwWin32ExitCode != NO_ERROR ? status.dwWin32ExitCode : ERROR_SERVICE_NOT_ACTIVE;
        } else if (status.dwCurrentState == SERVICE_STOPPED) {
            asked = true;
            if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
                error = GetLastError();
            }
        } else {
            Sleep(100);
        }
    }
    why_not = running ? "" : system_message(error == ERROR_SUCCESS ? ERROR_SERVICE_REQUEST_TIMEOUT : error);
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return running;
}

bool stop_windows_service(const std::wstring& name, std::string& why_not) {
    why_not.clear();
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service =
        manager != nullptr ? OpenServiceW(manager, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    if (service != nullptr && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                                   sizeof status, &size) &&
        status.dwCurrentState != SERVICE_STOPPED) {
        // Its process, to see it end: a service reported stopped may still be exiting.
        const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
        SERVICE_STATUS stopping{};
        if (!ControlService(service, SERVICE_CONTROL_STOP, &stopping) &&
            GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
            why_not = system_message(GetLastError());
        } else if (process != nullptr && WaitForSingleObject(process, kStopHintMs) != WAIT_OBJECT_0) {
            why_not = "its process did not end within " + std::to_string(kStopHintMs / 1000) + " s";
        }
        if (process != nullptr) {
            CloseHandle(process);
        }
    } else if (service == nullptr && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        why_not = system_message(GetLastError());
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return why_not.empty();
}

void write_to_event_log(const std::wstring& name, const std::string& line) {
    static std::mutex mutex;
    static HANDLE source = nullptr;
    const std::lock_guard<std::mutex> guard(mutex);
    if (source == nullptr) {
        source = RegisterEventSourceW(nullptr, name.c_str());
    }
    const std::wstring text = to_wide(line);
    const wchar_t* strings[] = {text.c_str()};
    ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
}

std::string program_data_folder() {
    wchar_t* folder = nullptr;
    std::wstring data = L"C:\\ProgramData";
    if (SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_DEFAULT, nullptr, &folder) == S_OK) {
        data = folder;
    }
    CoTaskMemFree(folder);
    return to_utf8(data);
}

}  // namespace platform
