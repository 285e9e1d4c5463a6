#include "led_link.h"

#include "line_log.h"
#include "reply.h"

#include <algorithm>
#include <utility>

namespace triggers {
namespace {

// How long one request may take: with the register lock held by a hung program, a change's reply
// can take some seconds.
constexpr std::chrono::seconds kRequestDeadline{10};

}  // namespace

LedLink::LedLink(std::string endpoint) : endpoint_(std::move(endpoint)) {}

void LedLink::start() {
    work_.start();
}

bool LedLink::stop_within(std::chrono::milliseconds within) {
    return work_.stop_within(within);
}

void LedLink::ask(const protocol::Request& request) {
    work_.hand([&request](Asks& waiting) {
        const auto same =
            std::find_if(waiting.requests.begin(), waiting.requests.end(),
                         [&request](const protocol::Request& asked) { return asked.name == request.name; });
        if (same != waiting.requests.end()) {
            *same = request;
        } else {
            waiting.requests.push_back(request);
        }
    });
}

bool LedLink::exchange(const std::string& line, std::string& reply, std::string& why_not) {
    const endpoint::Deadline deadline = std::chrono::steady_clock::now() + kRequestDeadline;
    // A kept connection may have been closed by the service meanwhile (it closes idle ones): the
    // request is then asked once more, on a new one.
    for (bool kept = open_;; kept = false) {
        if (!open_ && service_.open(endpoint_, why_not, deadline) != endpoint::Opened::yes) {
            return false;
        }
        open_ = true;
        if (service_.send(line, deadline) && service_.receive_line(reply, deadline)) {
            return true;
        }
        const bool timed_out = service_.timed_out();
        why_not = timed_out                    ? "it did not answer in time"
                  : service_.failure().empty() ? "it closed the connection"
                                               : service_.failure();
        service_.close();
        open_ = false;
        if (!kept || timed_out) {
            return false;
        }
    }
}

void LedLink::carry_out(const protocol::Request& request) {
    const std::string line = protocol::format_request(request);
    std::string reply_line;
    std::string why_not;
    const bool answered = exchange(line + "\n", reply_line, why_not);
    const std::optional<protocol::Reply> reply = answered ? protocol::parse_reply(reply_line) : std::nullopt;
    if (!reply) {
        if (answered) {
            service_.close();
            open_ = false;
            why_not = "it answered what is not a reply";
        }
        if (!away_) {
            program_support::log("the LED service at " + endpoint::address(endpoint_) + " cannot be asked (" + why_not +
                "); what the rules show is set again once it is back");
            away_ = true;
        }
        return;
    }
    if (away_) {
        program_support::log("the LED service at " + endpoint::address(endpoint_) + " is back");
        away_ = false;
    }
    std::string& refused = refused_[request.name];
    if (!reply->ok && reply->message != refused) {
        program_support::log("the LED service refused \"" + line + "\": " + reply->message);
    }
    refused = reply->ok ? "" : reply->message;
}

}  // namespace triggers
