#include "endpoint.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace endpoint {

struct Connection::Channel {
    int fd;
};

Connection::Connection() = default;

Connection::~Connection() {
    close();
}

const char* const kHowToStart =
    "start it with 'systemctl start kav_morv_led', or run 'kav_morv_led_service --foreground'";

std::string configured() {
    const char* named = std::getenv("KAV_MORV_LED_ENDPOINT");
    return named != nullptr && named[0] != '\0' ? named : "/run/kav_morv_led/led.sock";
}

std::string address(const std::string& name) {
    return name;
}

bool Connection::open(const std::string& name, std::string& why_not) {
    close();
    sockaddr_un socket_address{};
    if (name.size() >= sizeof socket_address.sun_path) {
        why_not = "its path is longer than " + std::to_string(sizeof socket_address.sun_path - 1) + " bytes";
        return false;
    }
    socket_address.sun_family = AF_UNIX;
    std::memcpy(socket_address.sun_path, name.c_str(), name.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&socket_address), sizeof socket_address) != 0) {
        why_not = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    channel_ = std::make_unique<Channel>(Channel{fd});
    return true;
}

std::size_t Connection::write_some(const char* bytes, std::size_t size) {
    for (;;) {
        const ssize_t sent = ::send(channel_->fd, bytes, size, MSG_NOSIGNAL);
        if (sent >= 0 || errno != EINTR) {
            return sent > 0 ? static_cast<std::size_t>(sent) : 0;
        }
    }
}

std::size_t Connection::read_some(char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::recv(channel_->fd, buffer, size, 0);
        if (got >= 0 || errno != EINTR) {
            return got > 0 ? static_cast<std::size_t>(got) : 0;
        }
    }
}

void Connection::close() {
    if (channel_) {
        ::close(channel_->fd);
        channel_.reset();
    }
    received_.clear();
}

}  // namespace endpoint
