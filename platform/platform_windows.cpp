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

// The one named mutex this process uses, kept open while this module is loaded so that taking the
// lock costs no object creation.
struct NamedMutex {
    std::string name;
    HANDLE handle = nullptr;

    NamedMutex() = default;
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;
    ~NamedMutex() { close(); }

    void close() {
        if (handle != nullptr) {
            CloseHandle(handle);
            handle = nullptr;
        }
    }
};

NamedMutex& named_mutex() {
    static NamedMutex mutex;
    return mutex;
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

}  // namespace

const std::string& own_module_folder() {
    static const std::string folder = find_own_module_folder();
    return folder;
}

LibraryHandle load_library(const char* file_name) {
    if (std::strpbrk(file_name, "\\/:") != nullptr) {
        return nullptr;
    }
    const std::wstring name = to_wide(file_name);
    const std::wstring folder = to_wide(own_module_folder());
    if (!folder.empty()) {
        const std::wstring path = folder + L'\\' + name;
        if (HMODULE library = LoadLibraryExW(path.c_str(), nullptr,
                                             LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32)) {
            return library;
        }
    }
    // These flags replace the default search order, which would include the current directory
    // and PATH.
    return LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

EntryPoint find_entry(LibraryHandle library, const char* entry_name) {
    if (library == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<EntryPoint>(GetProcAddress(static_cast<HMODULE>(library), entry_name));
}

bool unload_library(LibraryHandle library) {
    return library != nullptr && FreeLibrary(static_cast<HMODULE>(library)) != 0;
}

LockAttempt acquire_named_lock(const char* name, unsigned timeout_ms) {
    NamedMutex& mutex = named_mutex();
    if (mutex.name != name) {
        mutex.close();
        mutex.name = name;
    }
    if (mutex.handle == nullptr) {
        // Global, so that processes in every session share it. Asking only for the access that
        // waiting and releasing need lets a mutex whose creator granted no more be shared.
        mutex.handle =
            CreateMutexExW(nullptr, (L"Global\\" + to_wide(name)).c_str(), 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
        if (mutex.handle == nullptr) {
            return {LockOutcome::unusable, why_not_created(GetLastError())};
        }
    }
    switch (WaitForSingleObject(mutex.handle, timeout_ms)) {
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
    ReleaseMutex(named_mutex().handle);
}

void sleep_ms(unsigned milliseconds) {
    Sleep(milliseconds);
}

}  // namespace platform
