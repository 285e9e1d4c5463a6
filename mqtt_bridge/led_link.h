// The bridge's side of the LED service, through the protocol like any client: a watch that tells
// it each change, from which the light's state is reported (the service away: unavailable at
// once, and looked for again every 200 ms, so it is available again within a moment of its
// return); and the commands, carried out one at a time on a thread of their own, where a burst
// gives way to its latest.
#pragma once

#include "endpoint.h"
#include "latest_work.h"
#include "light.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace bridge {

class LedLink {
public:
    struct Outputs {
        std::function<void(const std::string& state)> state;  // the light's state, as JSON
        std::function<void(bool available)> available;
        std::function<void(const std::string& line)> say;
        std::function<void(const std::string& line)> say_now_and_then;  // rate-limited: what others may flood
    };

    LedLink(std::string endpoint, const light::Effects& effects, Outputs outputs);
    LedLink(const LedLink&) = delete;
    LedLink& operator=(const LedLink&) = delete;
    ~LedLink() { stop(); }

    void start();
    void stop();
    // Carries out `command` soon; one not yet begun gives way to it.
    void carry_out(light::Command command);

private:
    struct Report {
        bool due = false;
        bool empty() const { return !due; }
    };
    struct Commands {
        std::optional<light::Command> latest;
        bool empty() const { return !latest; }
    };
    void watch();
    void report();
    void run(const light::Command& command);
    // The payload of the service's reply to `request`; none, with why, when it was not "ok".
    std::optional<std::string> ask(const protocol::Request& request, std::string& why_not) const;
    void pause(std::chrono::milliseconds how_long);

    std::string endpoint_;
    const light::Effects& effects_;
    Outputs outputs_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    endpoint::Connection* watching_ = nullptr;  // the watch's connection, while there is one (under mutex_)
    std::thread watcher_;
    protocol::LatestWork<Report> reporter_{[this](Report&) { report(); }};
    protocol::LatestWork<Commands> commands_{[this](Commands& work) { run(*work.latest); }};
};

}  // namespace bridge
