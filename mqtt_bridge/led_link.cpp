#include "led_link.h"

#include "reply.h"

#include <utility>

namespace bridge {
namespace {

using Clock = std::chrono::steady_clock;

// How often the service is looked for while it is away.
constexpr std::chrono::milliseconds kLookAgain{200};
// How often a status the service would not give is asked again.
constexpr std::chrono::milliseconds kAskAgain{1000};
// How long one request may take: with the register lock held by a hung program, a change's reply
// can take some seconds.
constexpr std::chrono::seconds kRequestDeadline{10};

}  // namespace

LedLink::LedLink(std::string endpoint, const light::Effects& effects, Outputs outputs)
    : endpoint_(std::move(endpoint)), effects_(effects), outputs_(std::move(outputs)) {}

void LedLink::start() {
    stopping_ = false;
    worker_.start();
    watcher_ = std::thread([this] { watch(); });
}

void LedLink::stop() {
    if (!watcher_.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
        if (watching_ != nullptr) {
            watching_->interrupt();  // it waits for the next event with no deadline
        }
    }
    asking_.interrupt();  // a request waits up to its deadline
    wake_.notify_all();
    watcher_.join();
    worker_.stop();
}

void LedLink::carry_out(light::LedChange change) {
    worker_.hand([&change](Work& waiting) { waiting.change = std::move(change); });
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        change_handed_ = true;
    }
    wake_.notify_all();
}

void LedLink::pause(std::chrono::milliseconds how_long, bool for_change) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, how_long, [this, for_change] { return stopping_.load() || (for_change && change_handed_); });
}

void LedLink::watch() {
    bool away = false;
    while (!stopping_) {
        endpoint::Connection watching;
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            if (stopping_) {
                return;
            }
            watching_ = &watching;
        }
        std::string why_not;
        std::string line;
        const endpoint::Deadline deadline = Clock::now() + kRequestDeadline;
        if (watching.open(endpoint_, why_not, deadline) == endpoint::Opened::yes &&
            watching.send("watch\n", deadline) && watching.receive_line(line, deadline) && line == "ok") {
            if (away) {
                say("the LED service at " + endpoint::address(endpoint_) + " is back");
                away = false;
            }
            watching_up_ = true;
            worker_.hand([](Work& waiting) { waiting.report = true; });
            // Each event is a change: the state is reported again, the reports of a burst as one.
            while (watching.receive_line(line)) {
                if (line.compare(0, 6, "event ") != 0) {
                    why_not = "it sent what is not an event";
                    break;
                }
                worker_.hand([](Work& waiting) { waiting.report = true; });
            }
            watching_up_ = false;
            if (why_not.empty()) {
                why_not = watching.failure().empty() ? "it went away" : watching.failure();
            }
        }
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            watching_ = nullptr;
            if (stopping_) {
                return;
            }
        }
        outputs_.available(false);
        if (!away) {
            say("the LED service at " + endpoint::address(endpoint_) + " is away (" +
                (why_not.empty() ? std::string("it did not take the watch") : why_not) +
                "); the light is unavailable until it is back");
            away = true;
        }
        pause(kLookAgain, false);
    }
}

void LedLink::work(Work& work) {
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        change_handed_ = false;
    }
    if (work.change) {
        run(*work.change);
    }
    if (work.report) {
        report();
    }
    if (report_failed_ && watching_up_ && !stopping_) {
        pause(kAskAgain, true);
        worker_.hand([](Work& waiting) { waiting.report = true; });
    }
}

void LedLink::report() {
    protocol::Request status;
    status.command = protocol::Command::status;
    std::string why_not;
    const std::optional<std::string> payload = ask(status, why_not);
    const std::optional<std::string> state = payload ? light::state_of(*payload, effects_) : std::nullopt;
    if (!state) {
        if (!report_failed_) {
            say("the LED service's status could not be read (" + (payload ? std::string("it is not one") : why_not) +
                "); the light is unavailable until it can be, asked again every second");
        }
        report_failed_ = true;
        outputs_.available(false);
        return;
    }
    report_failed_ = false;
    outputs_.state(*state);
    outputs_.available(true);
}

void LedLink::run(const light::LedChange& change) {
    for (const protocol::Request& request : change.requests) {
        std::string why_not;
        if (!ask(request, why_not)) {
            refusals_.say("a command was not carried out (" + protocol::format_request(request) + "): " + why_not);
            return;
        }
    }
}

std::optional<std::string> LedLink::ask(const protocol::Request& request, std::string& why_not) {
    const std::string asked = protocol::format_request(request) + "\n";
    // The connection kept from the last request may have been closed since (the service closes
    // one left idle, or restarted): then the request goes once more, on a new one.
    for (bool first = true;; first = false) {
        const bool kept = asking_open_;
        const endpoint::Deadline deadline = Clock::now() + kRequestDeadline;
        if (!asking_open_ && asking_.open(endpoint_, why_not, deadline) != endpoint::Opened::yes) {
            why_not = "cannot reach the LED service at " + endpoint::address(endpoint_) + ": " + why_not;
            return std::nullopt;
        }
        asking_open_ = true;
        std::string line;
        if (asking_.send(asked, deadline) && asking_.receive_line(line, deadline)) {
            const std::optional<protocol::Reply> reply = protocol::parse_reply(line);
            if (!reply) {
                asking_.close();
                asking_open_ = false;
                why_not = "the LED service answered what is not a reply";
                return std::nullopt;
            }
            if (!reply->ok) {
                why_not = "the LED service refused: " + reply->message;
                return std::nullopt;
            }
            return reply->payload;
        }
        const bool timed_out = asking_.timed_out();
        asking_.close();
        asking_open_ = false;
        if (!first || !kept || timed_out || stopping_) {
            why_not = timed_out ? "the LED service did not answer in time" : "the LED service went away";
            return std::nullopt;
        }
    }
}

}  // namespace bridge
