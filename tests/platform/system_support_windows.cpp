#include "system_support.h"
#include "windows_text.h"

#include <windows.h>

#include <vector>

namespace system_support {

const char* const kLibrarySearchVariable = "PATH";

void* open_library_at(const std::filesystem::path& path) {
    return LoadLibraryExW(path.wstring().c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

int run_program(const std::filesystem::path& program, const std::string& argument,
                const std::filesystem::path& working_folder, const char* variable, const std::string& value) {
    // The child inherits this process's environment, changed for the while.
    const std::wstring name = platform::to_wide(variable);
    std::vector<wchar_t> previous(32768);
    const DWORD kept = GetEnvironmentVariableW(name.c_str(), previous.data(), static_cast<DWORD>(previous.size()));
    SetEnvironmentVariableW(name.c_str(), platform::to_wide(value).c_str());

    std::wstring command_line = L"\"" + program.wstring() + L"\" \"" + platform::to_wide(argument) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program.wstring().c_str(), &command_line[0], nullptr, nullptr, FALSE, 0,
                                        nullptr, working_folder.wstring().c_str(), &startup, &process);
    SetEnvironmentVariableW(name.c_str(), kept > 0 ? previous.data() : nullptr);
    if (!started) {
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

namespace {

struct Holder {
    std::wstring name;
    HANDLE held;
    HANDLE let_go;
};

// A mutex belongs to the thread that took it, so another thread stands for another process.
DWORD WINAPI hold(void* parameter) {
    Holder& holder = *static_cast<Holder*>(parameter);
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, holder.name.c_str());
    WaitForSingleObject(mutex, INFINITE);
    SetEvent(holder.held);
    WaitForSingleObject(holder.let_go, INFINITE);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}

}  // namespace

std::function<void()> hold_lock_elsewhere(const std::string& name) {
    Holder* holder = new Holder{L"Global\\" + platform::to_wide(name), CreateEventW(nullptr, TRUE, FALSE, nullptr),
                                CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    const HANDLE thread = CreateThread(nullptr, 0, hold, holder, 0, nullptr);
    WaitForSingleObject(holder->held, INFINITE);
    return [holder, thread] {
        SetEvent(holder->let_go);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(holder->held);
        CloseHandle(holder->let_go);
        delete holder;
    };
}

std::string this_process() {
    return std::to_string(GetCurrentProcessId());
}

}  // namespace system_support
