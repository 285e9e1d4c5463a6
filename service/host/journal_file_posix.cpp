#include "journal_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace service {

struct JournalFile::File {
    int descriptor;
};

JournalFile::JournalFile() = default;

JournalFile::~JournalFile() {
    close();
}

bool JournalFile::open(const std::string& path, std::string& why_not) {
    close();
    // Not through a link; and a FIFO, which would block an open for writing, is opened without
    // waiting and then refused.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0640);
    if (fd < 0) {
        why_not = std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        why_not = "it is not a regular file";
        ::close(fd);
        return false;
    }
    file_ = std::make_unique<File>(File{fd});
    size_ = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool JournalFile::is_open() const {
    return file_ != nullptr;
}

bool JournalFile::append(const std::string& bytes, std::string& why_not) {
    const int fd = file_->descriptor;
    why_not.clear();
    for (std::size_t done = 0; why_not.empty() && done < bytes.size();) {
        const ssize_t wrote = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(size_ + done));
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (wrote == 0) {
            why_not = "the system took none of the bytes";  // errno says nothing then
        } else if (errno != EINTR) {
            why_not = std::strerror(errno);
        }
    }
    if (why_not.empty() && fdatasync(fd) != 0) {
        why_not = std::strerror(errno);
    }
    if (!why_not.empty()) {
        // A part written would be a torn record before the next group's.
        static_cast<void>(ftruncate(fd, static_cast<off_t>(size_)));
        return false;
    }
    size_ += bytes.size();
    return true;
}

bool JournalFile::empty_out(std::string& why_not) {
    if (ftruncate(file_->descriptor, 0) != 0) {
        why_not = std::strerror(errno);
        return false;
    }
    size_ = 0;
    return true;
}

void JournalFile::close() {
    if (file_) {
        ::close(file_->descriptor);
        file_.reset();
    }
}

}  // namespace service
