#include "led_link.h"

#include "endpoint.h"
#include "reply.h"

#include <utility>

namespace bridge {
namespace {

using Clock = std::chrono::steady_clock;

// How often the service is looked for while it is away.
constexpr std::chrono::milliseconds kLookAgain{200};
// How long one request may take: with the register lock held by a hung program, a change's reply
// can take some seconds.
constexpr std::chrono::seconds kRequestDeadline{10};

}  // namespace

LedLink::LedLink(std::string endpoint, const light::Effects& effects, Outputs outputs)
    : endpoint_(std::move(endpoint)), effects_(effects), outputs_(std::move(outputs)) {}

void LedLink::start() {
    stopping_ = false;
    reporter_.start();
    commands_.start();
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
    wake_.notify_all();
    watcher_.join();
    commands_.stop();
    reporter_.stop();
}

void LedLink::carry_out(light::Command command) {
    commands_.hand([&command](Commands& waiting) { waiting.latest = std::move(command); });
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
                outputs_.say("the LED service at " + endpoint::address(endpoint_) + " is back");
                away = false;
            }
            reporter_.hand([](Report& waiting) { waiting.due = true; });
            // Each event is a change: the state is reported again, the reports of a burst as one.
            while (watching.receive_line(line)) {
                if (line.compare(0, 6, "event ") != 0) {
                    why_not = "it sent what is not an event";
                    break;
                }
                reporter_.hand([](Report& waiting) { waiting.due = true; });
            }
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
            outputs_.say("the LED service at " + endpoint::address(endpoint_) + " is away (" +
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
    const std::optional<std::string> payload = ask(status, why_not);
    const std::optional<std::string> state = payload ? light::state_of(*payload, effects_) : std::nullopt;
    if (!state) {
        outputs_.say("the LED service's status could not be read (" +
                     (payload ? std::string("it is not one") : why_not) + "); the light is unavailable");
        outputs_.available(false);
        return;
    }
    outputs_.state(*state);
    outputs_.available(true);
}

void LedLink::run(const light::Command& command) {
    for (const protocol::Request& request : command.requests) {
        std::string why_not;
        if (!ask(request, why_not)) {
            outputs_.say_now_and_then("a command was not carried out (" + protocol::format_request(request) +
                                      "): " + why_not);
            return;
        }
    }
}

std::optional<std::string> LedLink::ask(const protocol::Request& request, std::string& why_not) const {
    const endpoint::Deadline deadline = Clock::now() + kRequestDeadline;
    endpoint::Connection service;
    if (service.open(endpoint_, why_not, deadline) != endpoint::Opened::yes) {
        why_not = "cannot reach the LED service at " + endpoint::address(endpoint_) + ": " + why_not;
        return std::nullopt;
    }
    std::string line;
    if (!service.send(protocol::format_request(request) + "\n", deadline) || !service.receive_line(line, deadline)) {
        why_not = service.timed_out() ? "the LED service did not answer in time" : "the LED service went away";
        return std::nullopt;
    }
    const std::optional<protocol::Reply> reply = protocol::parse_reply(line);
    if (!reply || !reply->ok) {
        why_not = reply ? "the LED service refused: " + reply->message : "the LED service answered what is not a reply";
        return std::nullopt;
    }
    return reply->payload;
}

}  // namespace bridge
