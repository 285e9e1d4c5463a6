// The bridge's side of the LED service, through the protocol like any client, on two connections
// kept open: a watch, which tells it each change (the service away: unavailable at once, and
// looked for again every 200 ms, so that it is available again within a moment of its return); and
// one for requests, on a thread of its own, where the commands are carried out one at a time (a
// burst gives way to its latest) and the light's state is asked after changes (those of a burst
// asked once). A status the service will not give makes the light unavailable, and is asked again
// every second until it does.
#pragma once

#include "bridge_log.h"
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
    // What the requests' thread has to do: the latest change, and whether to report the state.
    struct Work {
        std::optional<light::LedChange> change;
        bool report = false;
        bool empty() const { return !change && !report; }
    };
    void watch();
    void work(Work& work);
    void run(const light::LedChange& change);
    void report();
    // The payload of the service's reply to `request`; none, with why, when it was not "ok".
    std::optional<std::string> ask(const protocol::Request& request, std::string& why_not);
    // Waits until `how_long` has passed, the link stops, or (with `for_change`) a change is handed.
    void pause(std::chrono::milliseconds how_long, bool for_change);

    std::string endpoint_;
    const light::Effects& effects_;
    Outputs outputs_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> watching_up_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool change_handed_ = false;                // under mutex_
    endpoint::Connection* watching_ = nullptr;  // the watch's connection, while there is one (under mutex_)
    endpoint::Connection asking_;               // the requests' connection, kept between them
    bool asking_open_ = false;
    bool report_failed_ = false;
    NowAndThen refusals_;  // commands the service refused: others' publishing may repeat them
    std::thread watcher_;
    protocol::LatestWork<Work> worker_{[this](Work& work) { this->work(work); }};
};

}  // namespace bridge
