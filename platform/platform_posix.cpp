#include "platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

std::string folder_of(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string program_folder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return std::string();
    }
    return folder_of(std::string(path, static_cast<std::string::size_type>(length)));
}

// The loader records a library under the path it was opened by, possibly relative, and the main
// program under no name at all (dladdr then reports argv[0], which a PATH search leaves bare and
// realpath would resolve in the current directory). So the main program's folder comes from
// /proc/self/exe, and a library's path is made absolute.
std::string find_own_module_folder() {
    Dl_info info{};
    link_map* module = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&find_own_module_folder), &info, reinterpret_cast<void**>(&module),
                RTLD_DL_LINKMAP) == 0 ||
        module == nullptr) {
        return std::string();
    }
    if (module->l_name == nullptr || module->l_name[0] == '\0') {
        return program_folder();
    }
    char* resolved = realpath(module->l_name, nullptr);
    if (resolved == nullptr) {
        return std::string();
    }
    std::string folder = folder_of(resolved);
    free(resolved);
    return folder;
}

// Resolved while the loader maps this module, before its host can change directory and make a
// relative path point somewhere else.
const std::string kOwnModuleFolder = find_own_module_folder();

LibraryHandle load_from(const std::string& folder, const char* file_name) {
    if (folder.empty()) {
        return nullptr;
    }
    return dlopen((folder + '/' + file_name).c_str(), RTLD_NOW | RTLD_LOCAL);
}

// The one lock file this process holds open, kept between calls so that taking the lock costs no
// file opening, and closed when this module is unloaded.
struct LockFile {
    std::string name;
    int fd = -1;

    LockFile() = default;
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    ~LockFile() { close(); }

    void close() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
};

// Files found unlinked in one attempt before giving up: only someone removing the file on purpose,
// again and again, gets that far.
constexpr int kMostUnlinkedFiles = 3;

LockFile& lock_file() {
    static LockFile file;
    return file;
}

const char* why_unopenable(int error) {
    switch (error) {
        case ELOOP:
            return "its file is a symbolic link";
        case EACCES:
        case EPERM:
            return "access to its file is denied";
        default:
            return "its file cannot be opened";
    }
}

// Opens the lock file without ever blocking (a FIFO planted there would block a plain open) or
// following a link. An existing file is opened without O_CREAT, which the system may refuse for
// another user's file in /tmp. A new one is made readable by all whatever the umask: flock needs
// only read access, so every user can share it.
int open_lock_file(const std::string& path, const char*& why_unusable) {
    const int flags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(path.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
        fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            fchmod(fd, 0644);
        } else if (errno == EEXIST) {
            fd = open(path.c_str(), flags);
        }
    }
    if (fd < 0) {
        why_unusable = why_unopenable(errno);
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        why_unusable = "its file is not a regular file";
        return -1;
    }
    return fd;
}

// Whether the file is still at a path; someone may have unlinked it since it was opened.
bool still_linked(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && status.st_nlink > 0;
}

long long monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

const std::string& own_module_folder() {
    return kOwnModuleFolder;
}

LibraryHandle load_library(const char* file_name) {
    if (std::strchr(file_name, '/') != nullptr) {
        return nullptr;
    }
    if (LibraryHandle library = load_from(own_module_folder(), file_name)) {
        return library;
    }
    // No search by bare name: dlopen would follow LD_LIBRARY_PATH, where "." or an empty entry
    // means the current directory.
    return load_from(program_folder(), file_name);
}

EntryPoint find_entry(LibraryHandle library, const char* entry_name) {
    if (library == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<EntryPoint>(dlsym(library, entry_name));
}

bool unload_library(LibraryHandle library) {
    return library != nullptr && dlclose(library) == 0;
}

LockAttempt acquire_named_lock(const char* name, unsigned timeout_ms) {
    LockFile& file = lock_file();
    if (file.name != name) {
        file.close();
        file.name = name;
    }
    // flock cannot time out by itself; poll without blocking until the deadline.
    const long long deadline = monotonic_ms() + timeout_ms;
    int unlinked_files = 0;
    for (;;) {
        if (file.fd < 0) {
            const char* why_unusable = nullptr;
            file.fd = open_lock_file("/tmp/" + file.name + ".lock", why_unusable);
            if (file.fd < 0) {
                return {LockOutcome::unusable, why_unusable};
            }
        }
        if (flock(file.fd, LOCK_EX | LOCK_NB) == 0) {
            if (still_linked(file.fd)) {
                return {LockOutcome::taken, nullptr};
            }
            // Newcomers lock the file now at the path, so this one serialises nothing. Closing it
            // drops the lock; the next turn opens the new one.
            file.close();
            if (++unlinked_files > kMostUnlinkedFiles) {
                return {LockOutcome::unusable, "its file keeps being removed"};
            }
        } else if (errno != EWOULDBLOCK && errno != EINTR) {
            return {LockOutcome::unusable, "the system will not lock its file"};
        } else if (monotonic_ms() >= deadline) {
            return {LockOutcome::timed_out, nullptr};
        } else {
            sleep_ms(1);
        }
    }
}

void release_named_lock() {
    flock(lock_file().fd, LOCK_UN);
}

void sleep_ms(unsigned milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
