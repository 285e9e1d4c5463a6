#include "platform.h"
#include "windows_text.h"

#include <windows.h>

#include <cstring>

namespace platform {

std::wstring to_wide(const std::string& utf8) {
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::wstring::size_type>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), &wide[0],
                            length);
    }
    return wide;
}

std::string to_utf8(const std::wstring& wide) {
    const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::string::size_type>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()), &utf8[0], length,
                            nullptr, nullptr);
    }
    return utf8;
}

std::string system_message(unsigned long error) {
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring said = length > 0 ? std::wstring(text, length) : std::wstring();
    LocalFree(text);
    while (!said.empty() && (said.back() == L'\r' || said.back() == L'\n' || said.back() == L' ')) {
        said.pop_back();
    }
    return said.empty() ? "error " + std::to_string(error) : to_utf8(said);
}

namespace {

// The loader records every module under its full path, so this is the same whenever it is asked.
std::string find_own_module_folder() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&find_own_module_folder), &self)) {
        return std::string();
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::string();
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::wstring::size_type separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::string() : to_utf8(path.substr(0, separator));
}

void add_attempt(std::string* why_not, const std::string& where, DWORD error) {
    if (why_not != nullptr) {
        *why_not += (why_not->empty() ? "looked for " : ", and ") + where + " (" + system_message(error) + ")";
    }
}

// The named mutex this process uses, kept open between calls so that taking the lock costs no
// object creation. Plain data, which nothing destroys behind a late caller's back.
struct NamedMutex {
    char name[256];
    HANDLE handle;
};
NamedMutex named_mutex = {{}, nullptr};

void close_named_mutex() {
    if (named_mutex.handle != nullptr) {
        CloseHandle(named_mutex.handle);
        named_mutex.handle = nullptr;
    }
}

const char* why_not_created(DWORD error) {
    switch (error) {
        case ERROR_INVALID_HANDLE:
            return "its name is taken by an object that is not a mutex";
        case ERROR_ACCESS_DENIED:
            return "access to it is denied";
        default:
            return "the system will not create it";
    }
}

// While interrupts are held, a console control event waits here until they are released, then
// goes on to the next handler, which is the system's own unless the program set one.
HANDLE interrupts_released = nullptr;

BOOL WINAPI wait_for_release(DWORD) {
    WaitForSingleObject(interrupts_released, INFINITE);
    return FALSE;
}

}  // namespace

const char* own_module_folder() {
    static const std::string folder = find_own_module_folder();
    return folder.c_str();
}

LibraryHandle load_library(const char* file_name, std::string* why_not) {
    if (why_not != nullptr) {
        why_not->clear();
    }
    if (std::strpbrk(file_name, "\\/:") != nullptr) {
        if (why_not != nullptr) {
            *why_not = "its name holds a path separator";
        }
        return nullptr;
    }
    const std::wstring name = to_wide(file_name);
    const std::string folder = own_module_folder();
    if (!folder.empty()) {
        const std::wstring path = to_wide(folder) + L'\\' + name;
        if (HMODULE library = LoadLibraryExW(path.c_str(), nullptr,
                                             LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32)) {
            return library;
        }
        add_attempt(why_not, "beside this library as " + to_utf8(path), GetLastError());
    }
    // These flags replace the default search order, which would include the current directory
    // and PATH.
    HMODULE library =
        LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) {
        add_attempt(why_not, "in the program's folder and the system folder", GetLastError());
    }
    return library;
}

EntryPoint find_entry(LibraryHandle library, const char* entry_name) {
    if (library == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<EntryPoint>(GetProcAddress(static_cast<HMODULE>(library), entry_name));
}

bool unload_library(LibraryHandle library, std::string* why_not) {
    if (library != nullptr && FreeLibrary(static_cast<HMODULE>(library)) != 0) {
        return true;
    }
    if (why_not != nullptr) {
        *why_not = library == nullptr ? "it is not loaded" : system_message(GetLastError());
    }
    return false;
}

LockAttempt acquire_named_lock(const char* name, unsigned timeout_ms) {
    if (std::strcmp(named_mutex.name, name) != 0) {
        if (std::strlen(name) >= sizeof named_mutex.name) {
            return {LockOutcome::unusable, "its name is too long"};
        }
        close_named_mutex();
        std::strcpy(named_mutex.name, name);
    }
    if (named_mutex.handle == nullptr) {
        // Global, so that processes in every session share it. Asking only for the access that
        // waiting and releasing need lets a mutex whose creator granted no more be shared.
        named_mutex.handle =
            CreateMutexExW(nullptr, (L"Global\\" + to_wide(name)).c_str(), 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
        if (named_mutex.handle == nullptr) {
            return {LockOutcome::unusable, why_not_created(GetLastError())};
        }
    }
    switch (WaitForSingleObject(named_mutex.handle, timeout_ms)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:  // its holder died; each register still holds a whole word
            return {LockOutcome::taken, nullptr};
        case WAIT_TIMEOUT:
            return {LockOutcome::timed_out, nullptr};
        default:
            return {LockOutcome::unusable, "waiting for it failed"};
    }
}

void release_named_lock() {
    ReleaseMutex(named_mutex.handle);
}

void close_named_lock() {
    close_named_mutex();
}

void around_fork(void (*)(), void (*)()) {}

void hold_interrupts() {
    if (interrupts_released == nullptr) {
        interrupts_released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ResetEvent(interrupts_released);
    SetConsoleCtrlHandler(wait_for_release, TRUE);
}

void release_interrupts() {
    SetConsoleCtrlHandler(wait_for_release, FALSE);
    SetEvent(interrupts_released);
}

void write_to_debugger(const char* line) {
    OutputDebugStringA(line);
}

bool replace_file(const std::string& path, const std::string& bytes, std::string& why_not) {
    const std::wstring target = to_wide(path);
    const std::wstring fresh = target + L".new";
    // Whatever stands at the new file's path is replaced, never opened; a folder only when it is empty.
    if (!DeleteFileW(fresh.c_str()) && !RemoveDirectoryW(fresh.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            why_not = to_utf8(fresh) + " cannot be replaced: " + system_message(error);
            return false;
        }
    }
    const HANDLE file = CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why_not = system_message(GetLastError());
        return false;
    }
    DWORD wrote = 0;
    const bool flushed = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr) &&
                         wrote == bytes.size() && FlushFileBuffers(file);
    const DWORD error = flushed ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    if (!flushed || !MoveFileExW(fresh.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        why_not = system_message(flushed ? GetLastError() : error);
        DeleteFileW(fresh.c_str());
        return false;
    }
    return true;
}

void sleep_ms(unsigned milliseconds) {
    Sleep(milliseconds);
}

}  // namespace platform
