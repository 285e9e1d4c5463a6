#include "sim_system.h"
#include "windows_text.h"

#include <windows.h>

namespace sim {
namespace {

// Empty when the file is fit to map, else what is wrong with it.
std::string fill_if_empty(HANDLE file, const void* initial, std::size_t size) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return "it is not a regular file";
    }
    const unsigned long long current =
        (static_cast<unsigned long long>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    if (current == 0) {
        DWORD written = 0;
        return WriteFile(file, initial, static_cast<DWORD>(size), &written, nullptr) && written == size
                   ? ""
                   : "it cannot be written";
    }
    if (current != size) {
        return "it is neither empty nor of the expected size";
    }
    return "";
}

}  // namespace

SharedFileMapping::SharedFileMapping(const std::string& path, const void* initial, std::size_t size) {
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, which is then refused, not its target.
    const HANDLE file =
        CreateFileW(platform::to_wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        problem_ = "it cannot be opened";
        return;
    }
    OVERLAPPED whole_file{};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole_file)) {
        problem_ = fill_if_empty(file, initial, size);
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole_file);
    } else {
        problem_ = "it cannot be locked";
    }
    if (problem_.empty()) {
        mapping_ = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size), nullptr);
        data_ = mapping_ != nullptr ? MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, size) : nullptr;
        if (data_ != nullptr) {
            size_ = size;
        } else {
            problem_ = "it cannot be mapped";
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

bool stdout_is_color_terminal() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(output, &mode) && SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

}  // namespace sim
