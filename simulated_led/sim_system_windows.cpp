#include "sim_system.h"

#include <windows.h>

namespace sim {
namespace {

std::wstring to_wide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<std::wstring::size_type>(length > 0 ? length : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], length);
    wide.resize(wide.size() - 1);
    return wide;
}

std::string to_utf8(const std::wstring& wide) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::string::size_type>(length > 0 ? length : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &text[0], length, nullptr, nullptr);
    text.resize(text.size() - 1);
    return text;
}

bool fill_if_needed(HANDLE file, const void* initial, std::size_t size) {
    LARGE_INTEGER current{};
    if (!GetFileSizeEx(file, &current)) {
        return false;
    }
    if (static_cast<std::size_t>(current.QuadPart) == size) {
        return true;
    }
    DWORD written = 0;
    return SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           WriteFile(file, initial, static_cast<DWORD>(size), &written, nullptr) && written == size &&
           SetEndOfFile(file);
}

}  // namespace

std::string own_folder() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&own_folder), &self)) {
        return std::string();
    }
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(self, path, sizeof path / sizeof path[0]);
    if (length == 0 || length == sizeof path / sizeof path[0]) {
        return std::string();
    }
    std::wstring folder(path, length);
    return to_utf8(folder.substr(0, folder.find_last_of(L"\\/")));
}

SharedFileMapping::SharedFileMapping(const std::string& path, const void* initial, std::size_t size) {
    const HANDLE file = CreateFileW(to_wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    OVERLAPPED whole_file{};
    const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole_file) != 0;
    const bool filled = locked && fill_if_needed(file, initial, size);
    if (locked) {
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole_file);
    }
    if (filled) {
        mapping_ = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size), nullptr);
        if (mapping_ != nullptr) {
            data_ = MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, size);
            size_ = size;
        }
    }
    CloseHandle(file);  // the mapping keeps the file open
}

SharedFileMapping::~SharedFileMapping() {
    if (data_ != nullptr) {
        UnmapViewOfFile(data_);
    }
    if (mapping_ != nullptr) {
        CloseHandle(mapping_);
    }
}

bool stdout_is_colour_terminal() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(output, &mode) && SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

}  // namespace sim
