// Preloaded into the service, natively: sees its writes from outside. It tells whether every `ok`
// goes out only once the journal's bytes written before it are flushed to the disk, and whether a
// new state file is flushed before it is renamed into place. It writes each flush of the journal
// and each breach, one line each, to the file FLUSH_WATCH_REPORT names. For one client asking one
// change at a time, so that no other change's bytes are under way when an `ok` goes.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace {

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

std::string path_of(int fd) {
    char link[64];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

bool ends_with(const std::string& text, const char* end) {
    const std::size_t size = std::strlen(end);
    return text.size() >= size && text.compare(text.size() - size, size, end) == 0;
}

void report(const std::string& line) {
    const char* file = std::getenv("FLUSH_WATCH_REPORT");
    if (file == nullptr) {
        return;
    }
    static std::mutex mutex;
    const std::lock_guard<std::mutex> guard(mutex);
    const int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    const std::string text = line + "\n";
    real<ssize_t (*)(int, const void*, size_t)>("write")(fd, text.data(), text.size());
    close(fd);
}

std::atomic<bool> journal_unflushed{false};
std::mutex new_files_mutex;
std::set<std::string> new_files_unflushed;  // new state files written and not flushed since

void wrote(int fd) {
    const std::string path = path_of(fd);
    if (ends_with(path, ".journal")) {
        journal_unflushed = true;
    } else if (ends_with(path, ".new")) {
        const std::lock_guard<std::mutex> guard(new_files_mutex);
        new_files_unflushed.insert(path);
    }
}

void flushed(int fd) {
    const std::string path = path_of(fd);
    if (ends_with(path, ".journal")) {
        journal_unflushed = false;
        report("journal flushed");
    } else if (ends_with(path, ".new")) {
        const std::lock_guard<std::mutex> guard(new_files_mutex);
        new_files_unflushed.erase(path);
    }
}

void sending(const void* data, std::size_t size) {
    if (size >= 3 && std::memcmp(data, "ok\n", 3) == 0 && journal_unflushed) {
        report("breach: ok sent while the journal holds bytes not flushed");
    }
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t size) {
    wrote(fd);
    sending(data, size);
    return real<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    wrote(fd);
    return real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) {
    wrote(fd);
    return real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64")(fd, data, size, offset);
}

int fsync(int fd) {
    const int result = real<int (*)(int)>("fsync")(fd);
    if (result == 0) {
        flushed(fd);
    }
    return result;
}

int fdatasync(int fd) {
    const int result = real<int (*)(int)>("fdatasync")(fd);
    if (result == 0) {
        flushed(fd);
    }
    return result;
}

int rename(const char* from, const char* to) {
    {
        std::string path(from);
        if (path.rfind('/') == std::string::npos || path[0] != '/') {
            char folder[4096];
            path = std::string(getcwd(folder, sizeof folder) != nullptr ? folder : "") + "/" + path;
        }
        const std::lock_guard<std::mutex> guard(new_files_mutex);
        if (new_files_unflushed.erase(path) > 0) {
            report("breach: " + path + " renamed into place before it was flushed");
        }
    }
    return real<int (*)(const char*, const char*)>("rename")(from, to);
}

ssize_t send(int fd, const void* data, size_t size, int flags) {
    sending(data, size);
    return real<ssize_t (*)(int, const void*, size_t, int)>("send")(fd, data, size, flags);
}

ssize_t sendmsg(int fd, const struct msghdr* message, int flags) {
    if (message->msg_iovlen > 0) {
        sending(message->msg_iov[0].iov_base, message->msg_iov[0].iov_len);
    }
    return real<ssize_t (*)(int, const struct msghdr*, int)>("sendmsg")(fd, message, flags);
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
    wrote(fd);
    if (count > 0) {
        sending(parts[0].iov_base, parts[0].iov_len);
    }
    return real<ssize_t (*)(int, const struct iovec*, int)>("writev")(fd, parts, count);
}

}  // extern "C"
