#include "platform.h"

#include <dlfcn.h>
#include <link.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

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
std::string own_module_folder() {
    Dl_info info{};
    link_map* module = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&own_module_folder), &info, reinterpret_cast<void**>(&module),
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
    const std::string folder = folder_of(resolved);
    free(resolved);
    return folder;
}

LibraryHandle load_from(const std::string& folder, const char* file_name) {
    if (folder.empty()) {
        return nullptr;
    }
    return dlopen((folder + '/' + file_name).c_str(), RTLD_NOW | RTLD_LOCAL);
}

constexpr const char* kRegisterLockPath = "/tmp/kav_morv_led_registers.lock";

// Opened once and kept for the process's life, so taking the lock costs no file opening. flock
// needs no write access, so any user may share a lock file another user created.
class RegisterLockFile {
public:
    RegisterLockFile() : fd_(open(kRegisterLockPath, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644)) {}
    ~RegisterLockFile() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    RegisterLockFile(const RegisterLockFile&) = delete;
    RegisterLockFile& operator=(const RegisterLockFile&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

int register_lock_fd() {
    static RegisterLockFile file;
    return file.fd();
}

long long monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

LibraryHandle load_library(const char* file_name) {
    if (std::strchr(file_name, '/') != nullptr) {
        return nullptr;
    }
    if (LibraryHandle library = load_from(own_module_folder(), file_name)) {
        return library;
    }
    if (LibraryHandle library = load_from(program_folder(), file_name)) {
        return library;
    }
    // A bare name makes dlopen search only the system's configured folders.
    return dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
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

bool acquire_register_lock(unsigned timeout_ms) {
    const int fd = register_lock_fd();
    if (fd < 0) {
        return false;
    }
    // flock cannot time out by itself; poll without blocking until the deadline.
    const long long deadline = monotonic_ms() + timeout_ms;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || monotonic_ms() >= deadline) {
            return false;
        }
        sleep_ms(1);
    }
    return true;
}

void release_register_lock() {
    flock(register_lock_fd(), LOCK_UN);
}

void sleep_ms(unsigned milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
