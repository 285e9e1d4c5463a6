#include "sim_system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sim {
namespace {

// Empty when the file is fit to map, else what is wrong with it.
std::string fill_if_empty(int fd, const void* initial, std::size_t size) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return "it is not a regular file";
    }
    if (status.st_size == 0) {
        return pwrite(fd, initial, size, 0) == static_cast<ssize_t>(size) ? "" : "it cannot be written";
    }
    if (static_cast<std::size_t>(status.st_size) != size) {
        return "it is neither empty nor of the expected size";
    }
    return "";
}

}  // namespace

SharedFileMapping::SharedFileMapping(const std::string& path, const void* initial, std::size_t size) {
    // O_NONBLOCK: a FIFO at the path must not hang the opener before it can be refused.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) {
        problem_ = errno == ELOOP ? "it is a symbolic link" : "it cannot be opened";
        return;
    }
    if (flock(fd, LOCK_EX) == 0) {
        problem_ = fill_if_empty(fd, initial, size);
        flock(fd, LOCK_UN);
    } else {
        problem_ = "it cannot be locked";
    }
    if (problem_.empty()) {
        void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (data != MAP_FAILED) {
            data_ = data;
            size_ = size;
        } else {
            problem_ = "it cannot be mapped";
        }
    }
    close(fd);  // the mapping outlives the descriptor
}

SharedFileMapping::~SharedFileMapping() {
    if (data_ != nullptr) {
        munmap(data_, size_);
    }
}

bool stdout_is_color_terminal() {
    return isatty(STDOUT_FILENO) != 0;
}

}  // namespace sim
