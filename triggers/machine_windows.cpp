#include "machine.h"

#include "windows_text.h"

#include <windows.h>
// These need windows.h first.
#include <tlhelp32.h>

#include <cwctype>
#include <memory>

namespace triggers::machine {
namespace {

std::uint64_t whole(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, decltype(&CloseServiceHandle)>;

}  // namespace

std::optional<bool> service_running(const std::string& service, Deadline, std::string& why_not) {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), CloseServiceHandle);
    if (!manager) {
        why_not = "the Service Control Manager: " + platform::system_message(GetLastError());
        return std::nullopt;
    }
    const ServiceHandle handle(OpenServiceW(manager.get(), platform::to_wide(service).c_str(), SERVICE_QUERY_STATUS),
                               CloseServiceHandle);
    if (!handle && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
        return false;
    }
    SERVICE_STATUS status{};
    if (!handle || !QueryServiceStatus(handle.get(), &status)) {
        why_not = platform::system_message(GetLastError());
        return std::nullopt;
    }
    return status.dwCurrentState == SERVICE_RUNNING;
}

std::optional<bool> process_running(const std::string& process, std::string& why_not) {
    const HANDLE taken = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (taken == INVALID_HANDLE_VALUE) {
        why_not = platform::system_message(GetLastError());
        return std::nullopt;
    }
    const std::unique_ptr<void, decltype(&CloseHandle)> snapshot(taken, CloseHandle);
    const std::wstring wanted = lower(platform::to_wide(process));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        const std::wstring name = lower(entry.szExeFile);
        if (name == wanted || name == wanted + L".exe") {
            return true;
        }
    }
    return false;
}

std::optional<ProcessorTimes> processor_times(std::string& why_not) {
    FILETIME idle{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetSystemTimes(&idle, &kernel, &user)) {
        why_not = platform::system_message(GetLastError());
        return std::nullopt;
    }
    // The kernel's time holds the idle time.
    const std::uint64_t total = whole(kernel) + whole(user);
    return ProcessorTimes{total - whole(idle), total};
}

std::optional<double> memory_use(std::string& why_not) {
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    if (!GlobalMemoryStatusEx(&memory) || memory.ullTotalPhys == 0) {
        why_not = platform::system_message(GetLastError());
        return std::nullopt;
    }
    return 100.0 * static_cast<double>(memory.ullTotalPhys - memory.ullAvailPhys) /
           static_cast<double>(memory.ullTotalPhys);
}

}  // namespace triggers::machine
