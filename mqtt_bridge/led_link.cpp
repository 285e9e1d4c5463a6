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
    changes_.start();
    reports_.start();
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
    // A request waits up to its deadline.
    commanding_.interrupt();
    reporting_.interrupt();
    wake_.notify_all();
    watcher_.join();
    changes_.stop();
    reports_.stop();
}

void LedLink::carry_out(light::LedChange change) {
    changes_.hand([&change](Changes& waiting) { waiting.latest = std::move(change); });
}

void LedLink::pause(std::chrono::milliseconds how_long) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, how_long, [this] { return stopping_.load(); });
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
                program_support::log("the LED service at " + endpoint::address(endpoint_) + " is back");
                away = false;
            }
            watching_up_ = true;
            reports_.hand([](Report& waiting) { waiting.due = true; });
            // Each event is a change: the state is reported again, the reports of a burst as one.
            while (watching.receive_line(line)) {
                if (line.compare(0, 6, "event ") != 0) {
                    why_not = "it sent what is not an event";
                    break;
                }
                reports_.hand([](Report& waiting) { waiting.due = true; });
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
            program_support::log("the LED service at " + endpoint::address(endpoint_) + " is away (" +
                (why_not.empty() ? std::string("it did not take the watch") : why_not) +
                "); the light is unavailable until it is back");
            away = true;
        }
        pause(kLookAgain);
    }
}

void LedLink::report() {
    protocol::Request status;
    status.command = protocol::Command::status;
    std::string why_not;
    const std::optional<std::string> payload = reporting_.ask(status, why_not);
    const std::optional<std::string> state = payload ? light::state_of(*payload, effects_) : std::nullopt;
    if (state) {
        report_failed_ = false;
        outputs_.state(*state);
        outputs_.available(true);
        return;
    }
    if (!report_failed_) {
        program_support::log("the LED service's status could not be read (" + (payload ? std::string("it is not one") : why_not) +
            "); the light is unavailable until it can be, asked again every second");
    }
    report_failed_ = true;
    outputs_.available(false);
    // While the watch stays up, no event may come to ask again.
    if (watching_up_) {
        pause(kAskAgain);
        reports_.hand([](Report& waiting) { waiting.due = true; });
    }
}

void LedLink::run(const light::LedChange& change) {
    for (const protocol::Request& request : change.requests) {
        // A flash is cleared only while one of this bridge's may still show: a change asked of the
        // service costs a write that outlives a crash, and commands may come every few milliseconds.
        const bool flash = request.name == light::kFlashIndication;
        if (flash && request.command == protocol::Command::clear && !flash_may_show_) {
            continue;
        }
        std::string why_not;
        if (!commanding_.ask(request, why_not)) {
            rationed_.log("commands the LED service refused", "a command was not carried out (" + protocol::format_request(request) + "): " + why_not);
            return;
        }
        if (flash) {
            flash_may_show_ = request.command != protocol::Command::clear;
        }
    }
}

bool LedLink::Requests::open(endpoint::Deadline deadline, std::string& why_not) {
    open_ = connection_.open(endpoint_, why_not, deadline) == endpoint::Opened::yes;
    if (!open_) {
        why_not = "cannot reach the LED service at " + endpoint::address(endpoint_) + ": " + why_not;
    }
    return open_;
}

std::optional<std::string> LedLink::Requests::ask(const protocol::Request& request, std::string& why_not) {
    const std::string asked = protocol::format_request(request) + "\n";
    // The connection kept from the last request may have been closed since (the service closes
    // one left idle, or restarted): then the request goes once more, on a new one.
    for (bool first = true;; first = false) {
        const bool kept = open_;
        const endpoint::Deadline deadline = Clock::now() + kRequestDeadline;
        if (!open_ && !open(deadline, why_not)) {
            return std::nullopt;
        }
        std::string line;
        if (connection_.send(asked, deadline) && connection_.receive_line(line, deadline)) {
            const std::optional<protocol::Reply> reply = protocol::parse_reply(line);
            if (!reply) {
                connection_.close();
                open_ = false;
                why_not = "the LED service answered what is not a reply";
                return std::nullopt;
            }
            if (!reply->ok) {
                why_not = "the LED service refused: " + reply->message;
                return std::nullopt;
            }
            return reply->payload;
        }
        const bool timed_out = connection_.timed_out();
        connection_.close();
        open_ = false;
        if (!first || !kept || timed_out) {
            why_not = timed_out ? "the LED service did not answer in time" : "the LED service went away";
            return std::nullopt;
        }
    }
}

}  // namespace bridge
