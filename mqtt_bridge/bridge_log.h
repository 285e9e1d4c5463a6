// Where the bridge says what it does: standard error (which systemd passes to the journal), or
// the Application event log when Windows' service manager runs it. What others can make it say
// over and over (a flood of bad messages on the broker) is said now and then, never filling a disk.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace bridge {

// Writes one line, from any thread.
void say(const std::string& line);
// Sends every later line to `sink` instead of standard error.
void say_to(std::function<void(const std::string&)> sink);

// At most kMostLines lines a minute; those beyond are counted, and the count said with the next
// line that may be said.
class NowAndThen {
public:
    static constexpr int kMostLines = 10;
    void say(const std::string& line);

private:
    std::mutex mutex_;
    std::chrono::steady_clock::time_point window_{};
    int said_ = 0;
    long long held_back_ = 0;
};

}  // namespace bridge
