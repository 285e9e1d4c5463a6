#include "windows_service.h"

#include "windows_text.h"

#include <windows.h>

#include <mutex>
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

}  // namespace platform
