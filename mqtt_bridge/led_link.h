// The bridge's side of the LED service, through the protocol like any client, on connections kept
// open: a watch, which tells it each change (the service away: unavailable at once, and looked for
// again every 200 ms, so that it is available again within a moment of its return); one on which
// the commands are carried out, one at a time on a thread of their own, where a burst gives way to
// its latest; and one on which the light's state is asked after changes, on another (the changes of
// a burst asked once). A status the service will not give makes the light unavailable, and is asked
// again every second until it does.
#pragma once

#include "endpoint.h"
#include "latest_work.h"
#include "light.h"
#include "line_log.h"

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
    };

    LedLink(std::string endpoint, const light::Effects& effects, Outputs outputs);
    LedLink(const LedLink&) = delete;
    LedLink& operator=(const LedLink&) = delete;
    ~LedLink() { stop(); }

    void start();
    // Ends what the connections wait for, and the threads.
    void stop();
    // Carries out `change` soon; one not yet begun gives way to it.
    void carry_out(light::LedChange change);

private:
    // One connection kept for requests made one at a time, on one thread.
    class Requests {
    public:
        explicit Requests(const std::string& endpoint) : endpoint_(endpoint) {}
        // The payload of the service's reply to `request`; none, with why, when it was not "ok".
        std::optional<std::string> ask(const protocol::Request& request, std::string& why_not);
        // From another thread: what the connection waits for ends, now and from then on.
        void interrupt() { connection_.interrupt(); }

    private:
        bool open(endpoint::Deadline deadline, std::string& why_not);

        const std::string& endpoint_;
        endpoint::Connection connection_;
        bool open_ = false;
    };
    struct Changes {
        std::optional<light::LedChange> latest;
        bool empty() const { return !latest; }
    };
    struct Report {
        bool due = false;
        bool empty() const { return !due; }
    };
    void watch();
    void run(const light::LedChange& change);
    void report();
    void pause(std::chrono::milliseconds how_long);

    std::string endpoint_;
    const light::Effects& effects_;
    Outputs outputs_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> watching_up_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    endpoint::Connection* watching_ = nullptr;  // the watch's connection, while there is one (under mutex_)
    Requests commanding_{endpoint_};
    Requests reporting_{endpoint_};
    bool flash_may_show_ = true;  // the commands' own: one of an earlier run may, until cleared
    bool report_failed_ = false;  // the reporter's own
    program_support::RationedLog rationed_;  // commands the service refused: others' publishing may repeat them
    std::thread watcher_;
    program_support::LatestWork<Changes> changes_{[this](Changes& work) { run(*work.latest); }};
    program_support::LatestWork<Report> reports_{[this](Report&) { report(); }};
};

}  // namespace bridge
