#include "endpoint.h"

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace endpoint {

struct Connection::Channel {
    int fd;
};

Connection::Connection() = default;

Connection::~Connection() {
    close();
}

const char* const kHowToStartTheService =
    "start it with 'systemctl start kav_morv_led', or run 'kav_morv_led_service --foreground'";

const char* const kSystemDefault = "/run/kav_morv_led/led.sock";

std::string address(const std::string& name) {
    return name;
}

namespace {

// Who may use the socket, for a user who was refused: root and the group of the socket, or of its
// folder when the socket itself cannot be looked at.
std::string who_may_use(const std::string& path) {
    struct stat status {};
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (stat(path.c_str(), &status) != 0 && stat(folder.c_str(), &status) != 0) {
        return "you may not use it";
    }
    group entry{};
    group* found = nullptr;
    char names[4096];
    if (getgrgid_r(status.st_gid, &entry, names, sizeof names, &found) != 0 || found == nullptr || status.st_gid == 0) {
        return "only root may use it";
    }
    const std::string name = entry.gr_name;
    return "only root and the members of the group " + name +
           " may use it; ask an administrator to add you ('usermod -aG " + name + " YOUR_NAME'), then log in again";
}

enum class Waited { ready, timed_out, failed };

// Waits until the descriptor is ready for `events`, the deadline passes, or the system fails.
Waited wait_for(int fd, short events, Deadline deadline) {
    for (;;) {
        pollfd watched{fd, events, 0};
        const int ready = poll(&watched, 1, static_cast<int>(milliseconds_until(deadline, INT_MAX)));
        if (ready > 0) {
            return Waited::ready;
        }
        if (ready == 0) {
            return Waited::timed_out;
        }
        if (errno != EINTR) {
            return Waited::failed;
        }
    }
}

}  // namespace

Opened Connection::open(const std::string& name, std::string& why_not, Deadline deadline) {
    close();
    sockaddr_un socket_address{};
    if (name.size() >= sizeof socket_address.sun_path) {
        why_not = "its path is longer than " + std::to_string(sizeof socket_address.sun_path - 1) + " bytes";
        return Opened::failed;
    }
    socket_address.sun_family = AF_UNIX;
    std::memcpy(socket_address.sun_path, name.c_str(), name.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why_not = std::strerror(errno);
        return Opened::failed;
    }
    // A UNIX socket's connect waits while the service's backlog is full, for at most this long; at
    // least a millisecond, as none at all would mean for ever.
    const long long wait_ms = std::max(1LL, milliseconds_until(deadline, 24LL * 3600 * 1000));
    const timeval wait{static_cast<time_t>(wait_ms / 1000), static_cast<suseconds_t>(wait_ms % 1000 * 1000)};
    if (deadline != kNoDeadline) {
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    }
    int status = 0;
    do {
        status = connect(fd, reinterpret_cast<const sockaddr*>(&socket_address), sizeof socket_address);
    } while (status != 0 && errno == EINTR);
    if (status != 0) {
        const int error = errno;
        ::close(fd);
        switch (error) {
            case ENOENT:
            case ECONNREFUSED:
                why_not = std::strerror(error);
                return Opened::not_running;
            case EACCES:
            case EPERM:
                why_not = std::string(std::strerror(error)) + ": " + who_may_use(name);
                return Opened::not_allowed;
            case EAGAIN:
            case EINPROGRESS:
                why_not = "it accepted no connection in time";
                return Opened::failed;
            default:
                why_not = std::strerror(error);
                return Opened::failed;
        }
    }
    const std::lock_guard<std::mutex> guard(channel_mutex_);
    channel_ = std::make_unique<Channel>(Channel{fd});
    return Opened::yes;
}

void Connection::interrupt_channel() {
    ::shutdown(channel_->fd, SHUT_RDWR);  // a poll or recv waiting on it returns at once
}

std::size_t Connection::write_some(const char* bytes, std::size_t size, Deadline deadline) {
    for (;;) {
        const ssize_t sent = ::send(channel_->fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            return static_cast<std::size_t>(sent);
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const Waited waited = wait_for(channel_->fd, POLLOUT, deadline);
            if (waited != Waited::ready) {
                timed_out_ = waited == Waited::timed_out;
                failure_ = timed_out_ ? "" : std::strerror(errno);
                return 0;
            }
        } else if (sent == 0 || errno != EINTR) {
            failure_ = sent == 0 ? "" : std::strerror(errno);
            return 0;
        }
    }
}

std::size_t Connection::read_some(char* buffer, std::size_t size, Deadline deadline) {
    const Waited waited = wait_for(channel_->fd, POLLIN, deadline);
    if (waited != Waited::ready) {
        timed_out_ = waited == Waited::timed_out;
        failure_ = timed_out_ ? "" : std::strerror(errno);
        return 0;
    }
    for (;;) {
        const ssize_t got = ::recv(channel_->fd, buffer, size, 0);
        if (got >= 0 || errno != EINTR) {
            failure_ = got < 0 ? std::strerror(errno) : "";
            return got > 0 ? static_cast<std::size_t>(got) : 0;
        }
    }
}

void Connection::close() {
    const std::lock_guard<std::mutex> guard(channel_mutex_);
    if (channel_) {
        ::close(channel_->fd);
        channel_.reset();
    }
    received_.clear();
}

}  // namespace endpoint
