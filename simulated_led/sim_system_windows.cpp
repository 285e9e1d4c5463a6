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

bool read_all(HANDLE file, std::string& contents) {
    char buffer[4096];
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &count, nullptr)) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        contents.append(buffer, count);
    }
}

bool replace_all(HANDLE file, const std::string& contents) {
    DWORD written = 0;
    return SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
           written == contents.size() && SetEndOfFile(file);
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

bool with_locked_file(const std::string& path, const std::function<bool(std::string& contents)>& update) {
    const HANDLE file = CreateFileW(to_wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    OVERLAPPED whole_file{};
    bool ok = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole_file) != 0;
    std::string contents;
    ok = ok && read_all(file, contents);
    if (ok && update(contents)) {
        ok = replace_all(file, contents);
    }
    CloseHandle(file);  // also releases the lock
    return ok;
}

bool stdout_is_colour_terminal() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(output, &mode) && SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

}  // namespace sim
