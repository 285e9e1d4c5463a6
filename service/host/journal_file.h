// The state file's journal as the system keeps it: a file that only grows, each group of lines
// appended and flushed to the disk before the group counts as kept. One implementation per system.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace service {

class JournalFile {
public:
    JournalFile();
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;
    ~JournalFile();

    // Opens the file at `path` (UTF-8), made if need be, to append to; false, with what the system
    // said, when it cannot be, or is not a regular file (a link, a FIFO, a folder is never opened
    // as one, nor waited on).
    bool open(const std::string& path, std::string& why_not);
    bool is_open() const;
    // Appends `bytes` and flushes them and the file's length to the disk. False, with why, when it
    // cannot: the file is then cut back to what it held before, as far as the system lets it.
    bool append(const std::string& bytes, std::string& why_not);
    // Empties the file, for a journal started afresh.
    bool empty_out(std::string& why_not);
    std::uint64_t size() const { return size_; }

private:
    void close();

    struct File;                  // the system's own: a descriptor on POSIX, a HANDLE on Windows
    std::unique_ptr<File> file_;  // none while not open
    std::uint64_t size_ = 0;
};

}  // namespace service
