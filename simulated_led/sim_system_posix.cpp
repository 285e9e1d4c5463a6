#include "sim_system.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

namespace sim {
namespace {

bool read_all(int fd, std::string& contents) {
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        contents.append(buffer, static_cast<std::string::size_type>(count));
    }
}

bool replace_all(int fd, const std::string& contents) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
        return false;
    }
    return write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
}

}  // namespace

std::string own_folder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&own_folder), &info) == 0 || info.dli_fname == nullptr) {
        return std::string();
    }
    char* resolved = realpath(info.dli_fname, nullptr);
    if (resolved == nullptr) {
        return std::string();
    }
    std::string path(resolved);
    free(resolved);
    return path.substr(0, path.rfind('/'));
}

bool with_locked_file(const std::string& path, const std::function<bool(std::string& contents)>& update) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = flock(fd, LOCK_EX) == 0;
    std::string contents;
    ok = ok && read_all(fd, contents);
    if (ok && update(contents)) {
        ok = replace_all(fd, contents);
    }
    close(fd);  // also releases the lock
    return ok;
}

bool stdout_is_colour_terminal() {
    return isatty(STDOUT_FILENO) != 0;
}

}  // namespace sim
