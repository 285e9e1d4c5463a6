#include "socket_wait.h"

#include "windows_text.h"

#include <winsock2.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace bridge {
namespace {

// A day: a longer wait is cut short, and the caller looks again.
constexpr long long kLongestWaitMs = 86'400'000;

}  // namespace

// A UDP socket on loopback that sends to itself: select() waits on sockets alone.
struct SocketWait::Channel {
    SOCKET self = INVALID_SOCKET;
};

SocketWait::SocketWait() : channel_(std::make_unique<Channel>()) {
    WSADATA data;
    const int started = WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        throw std::runtime_error("cannot start Winsock: " +
                                 platform::system_message(static_cast<unsigned long>(started)));
    }
    SOCKET self = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    u_long nonblocking = 1;
    if (self == INVALID_SOCKET || bind(self, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(self, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        connect(self, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ioctlsocket(self, FIONBIO, &nonblocking) != 0) {
        const std::string said = platform::system_message(static_cast<unsigned long>(WSAGetLastError()));
        if (self != INVALID_SOCKET) {
            closesocket(self);
        }
        WSACleanup();
        throw std::runtime_error("cannot make a loopback socket to wake the broker's thread: " + said);
    }
    channel_->self = self;
}

SocketWait::~SocketWait() {
    closesocket(channel_->self);
    WSACleanup();
}

void SocketWait::wake() {
    const char byte = 0;
    static_cast<void>(send(channel_->self, &byte, 1, 0));
}

SocketWait::Ready SocketWait::wait(int socket, bool writing, Time until) {
    fd_set readable;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(channel_->self, &readable);
    const auto session = static_cast<SOCKET>(socket);
    if (socket >= 0) {
        FD_SET(session, &readable);
        FD_SET(session, &failed);  // a connection that failed to come about
        if (writing) {
            FD_SET(session, &writable);
        }
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    const long long timeout_ms = std::clamp<long long>(left.count(), 0, kLongestWaitMs);
    timeval timeout{static_cast<long>(timeout_ms / 1000), static_cast<long>(timeout_ms % 1000 * 1000)};
    Ready ready;
    if (select(0, &readable, &writable, &failed, &timeout) <= 0) {
        return ready;
    }
    if (FD_ISSET(channel_->self, &readable)) {
        char drained[64];
        while (recv(channel_->self, drained, sizeof drained, 0) > 0) {
        }
        ready.woken = true;
    }
    ready.socket =
        socket >= 0 && (FD_ISSET(session, &readable) || FD_ISSET(session, &writable) || FD_ISSET(session, &failed));
    return ready;
}

}  // namespace bridge
