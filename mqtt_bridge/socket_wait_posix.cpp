#include "socket_wait.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace bridge {
namespace {

// A day: a longer wait is cut short, and the caller looks again.
constexpr long long kLongestWaitMs = 86'400'000;

}  // namespace

struct SocketWait::Channel {
    int read = -1;
    int write = -1;
};

SocketWait::SocketWait() : channel_(std::make_unique<Channel>()) {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    channel_->read = ends[0];
    channel_->write = ends[1];
}

SocketWait::~SocketWait() {
    close(channel_->read);
    close(channel_->write);
}

void SocketWait::wake() {
    const char byte = 0;
    // A full pipe wakes the thread as well as one more byte would.
    static_cast<void>(write(channel_->write, &byte, 1));
}

SocketWait::Ready SocketWait::wait(int socket, bool writing, Time until) {
    pollfd waited[2] = {{channel_->read, POLLIN, 0}, {socket, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    const int timeout_ms = static_cast<int>(std::clamp<long long>(left.count(), 0, kLongestWaitMs));
    Ready ready;
    if (poll(waited, socket >= 0 ? 2 : 1, timeout_ms) <= 0) {
        return ready;  // the time came, or a signal: the caller looks again
    }
    if ((waited[0].revents & POLLIN) != 0) {
        char drained[64];
        while (read(channel_->read, drained, sizeof drained) > 0) {
        }
        ready.woken = true;
    }
    ready.socket = socket >= 0 && waited[1].revents != 0;
    return ready;
}

}  // namespace bridge
