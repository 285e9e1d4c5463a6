#include "platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <type_traits>

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
// relative path point somewhere else. A plain array, which no exit handler destroys.
struct ModuleFolder {
    char path[PATH_MAX] = {};
    ModuleFolder() {
        const std::string found = find_own_module_folder();
        if (found.size() < sizeof path) {
            std::memcpy(path, found.c_str(), found.size() + 1);
        }
    }
};
static_assert(std::is_trivially_destructible<ModuleFolder>::value, "a late call may still read it at exit");
const ModuleFolder kOwnModuleFolder;

// dlerror's text without the path it starts with, which the caller names already.
std::string system_said(const std::string& path) {
    const char* error = dlerror();
    std::string said = error != nullptr ? error : "no reason given";
    if (said.compare(0, path.size() + 2, path + ": ") == 0) {
        said.erase(0, path.size() + 2);
    }
    return said;
}

LibraryHandle load_from(const std::string& folder, const char* file_name, const char* which_folder,
                        std::string* why_not) {
    const std::string path = folder + '/' + file_name;
    if (LibraryHandle library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        return library;
    }
    if (why_not != nullptr) {
        *why_not += (why_not->empty() ? "looked for " : ", and ") + std::string(which_folder) + " as " + path + " (" +
                    system_said(path) + ")";
    }
    return nullptr;
}

// The lock file this process holds open, kept between calls so that taking the lock costs no file
// opening. Plain data, which no exit handler destroys: a thread may still be taking the lock then.
struct LockFile {
    char name[NAME_MAX + 1];
    char path[NAME_MAX + sizeof "/tmp/.lock"];
    int fd;
    // Which file fd is, to tell whether it is still the one at the path.
    dev_t device;
    ino_t inode;
};
static_assert(std::is_trivially_destructible<LockFile>::value, "a late call may still use it at exit");
LockFile lock_file = {{}, {}, -1, 0, 0};

void close_lock_file() {
    if (lock_file.fd >= 0) {
        close(lock_file.fd);
        lock_file.fd = -1;
    }
}

// flock belongs to the open file, which a forked child shares: holding it in the parent would let
// the child in too. A child drops its copy (which leaves the parent's lock alone) and opens its own.
[[maybe_unused]] const bool kChildrenOpenTheirOwnLockFile = pthread_atfork(nullptr, nullptr, close_lock_file) == 0;

// Files found gone from the path in one attempt before giving up: only someone removing or
// replacing the file on purpose, again and again, gets that far.
constexpr int kMostReplacedFiles = 3;

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
const char* open_lock_file() {
    const int flags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(lock_file.path, flags);
    if (fd < 0 && errno == ENOENT) {
        fd = open(lock_file.path, flags | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            fchmod(fd, 0644);
        } else if (errno == EEXIST) {
            fd = open(lock_file.path, flags);
        }
    }
    if (fd < 0) {
        return why_unopenable(errno);
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return "its file is not a regular file";
    }
    lock_file.fd = fd;
    lock_file.device = status.st_dev;
    lock_file.inode = status.st_ino;
    return nullptr;
}

// Whether the locked file is still the one at the path: someone may have removed, renamed or
// replaced it since it was opened, and newcomers then lock another file.
bool still_at_path() {
    struct stat status {};
    return lstat(lock_file.path, &status) == 0 && status.st_dev == lock_file.device && status.st_ino == lock_file.inode;
}

long long monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

sigset_t interrupts_before_hold;

}  // namespace

const char* own_module_folder() {
    return kOwnModuleFolder.path;
}

LibraryHandle load_library(const char* file_name, std::string* why_not) {
    if (why_not != nullptr) {
        why_not->clear();
    }
    if (std::strchr(file_name, '/') != nullptr) {
        if (why_not != nullptr) {
            *why_not = "its name holds a path separator";
        }
        return nullptr;
    }
    const std::string own_folder = own_module_folder();
    if (!own_folder.empty()) {
        if (LibraryHandle library = load_from(own_folder, file_name, "beside this library", why_not)) {
            return library;
        }
    }
    // No search by bare name: dlopen would follow LD_LIBRARY_PATH, where "." or an empty entry
    // means the current directory.
    const std::string program = program_folder();
    if (program.empty() || program == own_folder) {
        if (why_not != nullptr && why_not->empty()) {
            *why_not = "the folder of this library is not known";
        }
        return nullptr;
    }
    return load_from(program, file_name, "beside the program", why_not);
}

EntryPoint find_entry(LibraryHandle library, const char* entry_name) {
    if (library == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<EntryPoint>(dlsym(library, entry_name));
}

bool unload_library(LibraryHandle library, std::string* why_not) {
    if (library != nullptr && dlclose(library) == 0) {
        return true;
    }
    if (why_not != nullptr) {
        *why_not = library == nullptr ? "it is not loaded" : system_said("");
    }
    return false;
}

LockAttempt acquire_named_lock(const char* name, unsigned timeout_ms) {
    if (std::strcmp(lock_file.name, name) != 0) {
        if (std::strlen(name) + sizeof ".lock" > sizeof lock_file.name) {
            return {LockOutcome::unusable, "its name is too long"};
        }
        close_lock_file();
        std::strcpy(lock_file.name, name);
        // Fits: the name was measured against the shorter name buffer above.
        static_cast<void>(std::snprintf(lock_file.path, sizeof lock_file.path, "/tmp/%s.lock", name));
    }
    // flock cannot time out by itself; poll without blocking until the deadline.
    const long long deadline = monotonic_ms() + timeout_ms;
    int replaced_files = 0;
    for (;;) {
        if (lock_file.fd < 0) {
            if (const char* why_unusable = open_lock_file()) {
                return {LockOutcome::unusable, why_unusable};
            }
        }
        if (flock(lock_file.fd, LOCK_EX | LOCK_NB) == 0) {
            if (still_at_path()) {
                return {LockOutcome::taken, nullptr};
            }
            // Newcomers lock the file now at the path, so this one serialises nothing. Closing it
            // drops the lock; the next turn opens the one at the path.
            close_lock_file();
            if (++replaced_files > kMostReplacedFiles) {
                return {LockOutcome::unusable, "its file keeps being removed or replaced"};
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
    flock(lock_file.fd, LOCK_UN);
}

void close_named_lock() {
    close_lock_file();
}

void around_fork(void (*before)(), void (*after)()) {
    pthread_atfork(before, after, after);
}

void hold_interrupts() {
    // Every signal another process may send, whatever it would do: most end a program by default.
    // A fault of the program's own stays deliverable; held back, it would end it all the same.
    sigset_t interrupts;
    sigfillset(&interrupts);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
        sigdelset(&interrupts, fault);
    }
    pthread_sigmask(SIG_BLOCK, &interrupts, &interrupts_before_hold);
}

void release_interrupts() {
    // One that arrived meanwhile is delivered here, as if it had come now.
    pthread_sigmask(SIG_SETMASK, &interrupts_before_hold, nullptr);
}

void write_to_debugger(const char*) {}

bool replace_file(const std::string& path, const std::string& bytes, std::string& why_not) {
    const std::string fresh = path + ".new";
    // Whatever stands at the new file's path (a FIFO would block an open, a link lead elsewhere)
    // is replaced, never opened; a folder only when it is empty.
    if (unlink(fresh.c_str()) != 0 && errno != ENOENT && !(errno == EISDIR && rmdir(fresh.c_str()) == 0)) {
        why_not = fresh + " cannot be replaced: " + std::strerror(errno);
        return false;
    }
    const int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0640);
    why_not = fd < 0 ? std::strerror(errno) : "";
    for (std::size_t done = 0; why_not.empty() && done < bytes.size();) {
        const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (wrote == 0) {
            why_not = "the system took none of the bytes";  // errno says nothing then
        } else if (errno != EINTR) {
            why_not = std::strerror(errno);
        }
    }
    if (why_not.empty() && fsync(fd) != 0) {
        why_not = std::strerror(errno);
    }
    if (fd >= 0 && close(fd) != 0 && why_not.empty()) {
        why_not = std::strerror(errno);
    }
    if (why_not.empty() && rename(fresh.c_str(), path.c_str()) != 0) {
        why_not = std::strerror(errno);
    }
    if (!why_not.empty()) {
        unlink(fresh.c_str());
        return false;
    }
    // The rename is in the folder's entries: flush them too, or a power cut could undo it.
    const std::string::size_type slash = path.rfind('/');
    const int folder = open(slash == std::string::npos ? "." : path.substr(0, slash + 1).c_str(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return true;
}

void sleep_ms(unsigned milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
