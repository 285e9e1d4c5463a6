// Where the LED service is found, and a client's connection to it. One implementation per system:
// a UNIX socket on POSIX, a named pipe on Windows.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace endpoint {

// The endpoint named by KAV_MORV_LED_ENDPOINT if it is set, else the system's default.
std::string configured();

// What an endpoint name is on this system, for messages: the socket's path, or \\.\pipe\NAME.
std::string address(const std::string& name);

// How a user starts the service, for a client that could not reach it.
extern const char* const kHowToStart;

// A connection to the service. Blocking: for a client, which makes one request at a time.
class Connection {
public:
    Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    // Connects to the endpoint; false with what the system said when it cannot.
    bool open(const std::string& name, std::string& why_not);
    // Sends bytes as they are; false when the connection is gone.
    bool send(std::string_view bytes);
    // Reads up to the next line feed (not kept); false when the connection ends first.
    bool receive_line(std::string& line);
    void close();

private:
    // One read or write of the system's: how many bytes it moved; 0 when the connection is gone.
    std::size_t read_some(char* buffer, std::size_t size);
    std::size_t write_some(const char* bytes, std::size_t size);

    struct Channel;  // the system's descriptor or handle
    std::unique_ptr<Channel> channel_;
    std::string received_;
};

}  // namespace endpoint
