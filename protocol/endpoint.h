// Where the LED service is found, and a client's connection to it. One implementation per system:
// a UNIX socket on POSIX, a named pipe on Windows.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace endpoint {

// The endpoint named by KAV_MORV_LED_ENDPOINT if it is set, else the system's default.
std::string configured();
extern const char* const kSystemDefault;

// What an endpoint name is on this system, for messages: the socket's path, or \\.\pipe\NAME.
std::string address(const std::string& name);

// How a user starts the service, for a client that could not reach it.
extern const char* const kHowToStartTheService;

// When a client gives up on the service; the far future waits as long as it takes.
using Deadline = std::chrono::steady_clock::time_point;
constexpr Deadline kNoDeadline = Deadline::max();

enum class Opened {
    yes,
    not_running,  // nothing serves the endpoint: starting the service may help
    not_allowed,  // the service is there, but this user may not use it
    failed,       // anything else, the deadline included
};

// A connection to the service. Blocking: for a client, which makes one request at a time.
class Connection {
public:
    Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    // Connects to the endpoint; on failure, `why_not` says what the system said, and for
    // not_allowed, who may use it.
    Opened open(const std::string& name, std::string& why_not, Deadline deadline = kNoDeadline);
    // Sends bytes as they are; false when the connection is gone or the deadline passed.
    bool send(std::string_view bytes, Deadline deadline = kNoDeadline);
    // Reads up to the next line feed (not kept); false when the connection ends or the deadline
    // passes first.
    bool receive_line(std::string& line, Deadline deadline = kNoDeadline);
    // Whether the last send or receive_line failed because its deadline passed.
    bool timed_out() const { return timed_out_; }
    // What the system said when the last send or receive_line failed of an error of its own; empty
    // when it did not (the deadline passed, or the service closed the connection).
    const std::string& failure() const { return failure_; }
    // From another thread: ends what send or receive_line waits for, now and from then on (they
    // return false), so that a thread that waits with no deadline can be stopped.
    void interrupt();
    void close();

private:
    // One read or write of the system's, waiting until the deadline: how many bytes it moved; 0 when
    // the connection is gone or the deadline passed (timed_out_ then says so).
    std::size_t read_some(char* buffer, std::size_t size, Deadline deadline);
    std::size_t write_some(const char* bytes, std::size_t size, Deadline deadline);

    struct Channel;  // the system's descriptor or handle
    // Ends the system's wait on the channel, from another thread.
    void interrupt_channel();

    std::unique_ptr<Channel> channel_;
    std::mutex channel_mutex_;  // the channel's making and closing, beside interrupt()
    std::atomic<bool> interrupted_{false};
    std::string received_;
    bool timed_out_ = false;
    std::string failure_;
};

// Milliseconds left until a deadline, for the system's waits: at least 0, at most `most`.
long long milliseconds_until(Deadline deadline, long long most);

}  // namespace endpoint
