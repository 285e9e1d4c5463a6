#include "platform.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace platform {
namespace {

std::wstring widen(const char* ascii) {
    std::wstring wide;
    for (const char* c = ascii; *c != '\0'; ++c) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    }
    return wide;
}

std::wstring own_module_folder() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&own_module_folder), &self)) {
        return std::wstring();
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::wstring::size_type separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

// Global, so that processes in every session share it.
constexpr const wchar_t* kRegisterMutexName = L"Global\\kav_morv_led_registers";

// Opened once and kept while this module is loaded, so taking the lock costs no object creation.
class RegisterMutex {
public:
    RegisterMutex() : handle_(CreateMutexW(nullptr, FALSE, kRegisterMutexName)) {}
    ~RegisterMutex() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    RegisterMutex(const RegisterMutex&) = delete;
    RegisterMutex& operator=(const RegisterMutex&) = delete;
    HANDLE handle() const { return handle_; }

private:
    HANDLE handle_;
};

HANDLE register_mutex() {
    static RegisterMutex mutex;
    return mutex.handle();
}

}  // namespace

LibraryHandle load_library(const char* file_name) {
    if (std::strpbrk(file_name, "\\/:") != nullptr) {
        return nullptr;
    }
    const std::wstring name = widen(file_name);
    const std::wstring folder = own_module_folder();
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

bool acquire_register_lock(unsigned timeout_ms) {
    const HANDLE mutex = register_mutex();
    if (mutex == nullptr) {
        return false;
    }
    // An abandoned mutex counts as taken: its holder died, and each register still holds a whole word.
    const DWORD outcome = WaitForSingleObject(mutex, timeout_ms);
    return outcome == WAIT_OBJECT_0 || outcome == WAIT_ABANDONED;
}

void release_register_lock() {
    ReleaseMutex(register_mutex());
}

void sleep_ms(unsigned milliseconds) {
    Sleep(milliseconds);
}

}  // namespace platform
