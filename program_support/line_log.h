// Where a program says what it does, one line at a time, from any thread: standard error, each
// line after the program's name (systemd passes it to the journal), unless sent elsewhere (the
// system's event log under Windows' service manager). What others can make a program say over and
// over goes through a RationedLog, which never lets them fill a disk.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace program_support {

// Names the program before each line on standard error (by default, none).
void log_as(std::string program);
// Writes one line, without its line feed.
void log(const std::string& line);
// Sends every later line to `sink` instead of standard error.
void log_to(std::function<void(const std::string&)> sink);

// Each source's (a user's, a kind of message's) first kLinesPerMinute lines in a minute are
// written; the rest are counted, and the count is said before that source's next line written.
class RationedLog {
public:
    static constexpr int kLinesPerMinute = 10;
    using Time = std::chrono::steady_clock::time_point;

    void log(const std::string& source, const std::string& line, Time now = std::chrono::steady_clock::now());

private:
    struct Ration {
        Time since;
        int written = 0;
        long long held_back = 0;
    };
    std::mutex mutex_;
    std::map<std::string, Ration> rations_;
    Time swept_{};  // when the rations of sources quiet for a minute were last let go
};

}  // namespace program_support
