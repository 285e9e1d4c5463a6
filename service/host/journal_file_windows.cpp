#include "journal_file.h"

#include "windows_text.h"

#include <windows.h>

namespace service {

struct JournalFile::File {
    HANDLE handle;
};

namespace {

bool move_to(HANDLE file, std::uint64_t offset) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != 0;
}

}  // namespace

JournalFile::JournalFile() = default;

JournalFile::~JournalFile() {
    close();
}

bool JournalFile::open(const std::string& path, std::string& why_not) {
    close();
    // A reparse point (a link) is opened as itself, and then refused with anything else that is
    // not a plain file.
    const HANDLE file = CreateFileW(platform::to_wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why_not = platform::system_message(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    LARGE_INTEGER size{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        !GetFileSizeEx(file, &size)) {
        why_not = "it is not a regular file";
        CloseHandle(file);
        return false;
    }
    file_ = std::make_unique<File>(File{file});
    size_ = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

bool JournalFile::is_open() const {
    return file_ != nullptr;
}

bool JournalFile::append(const std::string& bytes, std::string& why_not) {
    const HANDLE file = file_->handle;
    DWORD wrote = 0;
    if (move_to(file, size_) && WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr) &&
        wrote == bytes.size() && FlushFileBuffers(file)) {
        size_ += bytes.size();
        return true;
    }
    why_not = platform::system_message(GetLastError());
    // A part written would be a torn record before the next group's.
    if (move_to(file, size_)) {
        SetEndOfFile(file);
    }
    return false;
}

bool JournalFile::empty_out(std::string& why_not) {
    const HANDLE file = file_->handle;
    if (!move_to(file, 0) || !SetEndOfFile(file)) {
        why_not = platform::system_message(GetLastError());
        return false;
    }
    size_ = 0;
    return true;
}

void JournalFile::close() {
    if (file_) {
        CloseHandle(file_->handle);
        file_.reset();
    }
}

}  // namespace service
