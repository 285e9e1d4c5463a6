// The broker's thread's one wait: until the MQTT session's socket has something to read (or room to
// write, when there is something to send), another thread wakes it, or a time comes. Nothing else
// wakes it, so an idle bridge sleeps. One implementation per system: poll and a pipe on POSIX,
// select and a loopback socket on Windows.
#pragma once

#include <chrono>
#include <memory>

namespace bridge {

class SocketWait {
public:
    using Time = std::chrono::steady_clock::time_point;
    struct Ready {
        bool socket = false;  // readable, writable as asked, or failed: the library's turn
        bool woken = false;
    };

    // Throws std::runtime_error, saying why, when the system gives no means of waking.
    SocketWait();
    SocketWait(const SocketWait&) = delete;
    SocketWait& operator=(const SocketWait&) = delete;
    ~SocketWait();

    // From any thread: the next wait (or the one going on) returns at once, woken.
    void wake();
    // `socket` is the session's (or -1 for none).
    Ready wait(int socket, bool writing, Time until);

private:
    struct Channel;  // the system's means of waking
    std::unique_ptr<Channel> channel_;
};

}  // namespace bridge
