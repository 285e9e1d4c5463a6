#include "trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bridge {
namespace {

std::string mode_of(const struct stat& status) {
    char mode[8];
    static_cast<void>(std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777)));
    return mode;
}

// Why a file of this kind, owner and mode may not be trusted; empty when it may. No one but its
// owner may change it (group write is refused too); the bridge's own group (the LED service's) may
// read it, so that its unit can; as ssh does with a key, a secret others may read is no secret.
std::string file_refusal(const std::string& path, const struct stat& status, Secrecy secrecy) {
    if (!S_ISREG(status.st_mode)) {
        const char* kind = S_ISFIFO(status.st_mode) ? "a FIFO" : S_ISDIR(status.st_mode) ? "a folder"
                         : S_ISSOCK(status.st_mode)                                     ? "a socket"
                                                                                        : "a device";
        return path + " is " + kind + ", not a regular file";
    }
    if (status.st_uid != 0 && status.st_uid != geteuid()) {
        return path + " is owned by user " + std::to_string(status.st_uid) + ", not root or the bridge's own (" +
               std::to_string(geteuid()) + "): someone else may have written it; chown root " + path;
    }
    if (secrecy == Secrecy::kRewritten) {
        return "";
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return path + " may be changed by others than its owner (mode " + mode_of(status) + "): chmod go-w " + path;
    }
    if (secrecy == Secrecy::kSecret && (status.st_mode & S_IRWXO) != 0) {
        return path + " holds a secret, but others may read it (mode " + mode_of(status) +
               "); make it its owner's and the bridge's group's alone: chmod 640 " + path;
    }
    return "";
}

// At most `most_bytes` of an open file: a regular file may still grow while it is read.
std::optional<std::string> read_at_most(int file, const std::string& path, std::size_t most_bytes, std::string& why_not) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(file, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            why_not = "cannot read " + path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > most_bytes) {
            why_not = path + " holds more than " + std::to_string(most_bytes) + " bytes";
            return std::nullopt;
        }
    }
}

}  // namespace

std::optional<std::string> read_trusted_file(const std::string& path, Secrecy secrecy, std::size_t most_bytes,
                                             std::string& why_not) {
    // Never blocking on a FIFO, nor following a link to another file.
    const int file = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file < 0) {
        why_not = errno == ELOOP ? path + " is a symbolic link: name the file itself"
                                 : "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat status {};
    std::optional<std::string> text;
    if (fstat(file, &status) != 0) {
        why_not = "cannot read " + path + ": " + std::strerror(errno);
    } else {
        why_not = file_refusal(path, status, secrecy);
        if (why_not.empty()) {
            text = read_at_most(file, path, most_bytes, why_not);
        }
    }
    close(file);
    return text;
}

}  // namespace bridge
