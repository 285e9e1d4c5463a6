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

void sleep_ms(unsigned milliseconds) {
    Sleep(milliseconds);
}

}  // namespace platform
