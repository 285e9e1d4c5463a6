// What the LED service has been asked to show: indications, each under its owner and a name, with
// a priority, a sequence of steps and a lifetime. The highest priority shows (on a tie, the one set
// last); with none, the LED is off. What is in force is capped, for all and for each owner. Pure:
// it is told the time and reads no clock, so tests drive it.
#pragma once

#include "client.h"
#include "request.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace service {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

struct Indication {
    Owner owner;
    std::string name;
    std::uint8_t priority = protocol::kDefaultPriority;
    std::vector<protocol::Step> steps;    // one step of 0 ms: a steady colour
    std::optional<std::uint32_t> cycles;  // none: the steps repeat until it is replaced
    Time set_at{};
    std::optional<Time> expires_at;  // from --for
    std::uint64_t order = 0;         // larger: set later

    bool steady() const;
    // When it stops showing of itself (expired, or its cycles done); none: never.
    std::optional<Time> ends_at() const;
    bool active_at(Time now) const { return !ends_at() || now < *ends_at(); }
    // The colour it shows at `now`, and when that next changes (none: never), within its life.
    protocol::Step step_at(Time now) const;
    std::optional<Time> next_step_at(Time now) const;
};

// An indication that ended by itself: its time ran out (expired) or its count did (ended).
struct Ended {
    Indication indication;
    bool expired;
};

// An indication as status reports it.
struct IndicationStatus {
    const Indication* indication;
    LedColorCode shows_now;
    std::optional<std::chrono::milliseconds> left;  // none: until replaced or cleared
};

class Indications {
public:
    // Why `request` may not be put in force for `owner` now, for the client; empty when it may.
    std::string refusal(const protocol::Request& request, const Owner& owner) const;
    // Puts what the request asks under its owner and name, replacing what was there; the steps
    // start now. The caller has asked refusal() first.
    void set(const protocol::Request& request, const Owner& owner, Time now);
    // Puts an indication in force as it is (its times included), as set after all others;
    // false, leaving all as it was, when the caps do not allow it.
    bool put(Indication indication);
    // Withdraws the indications of this name whose owner `whose` picks, and gives them.
    std::vector<Indication> clear(const std::string& name, const std::function<bool(const Owner&)>& whose);
    // Forgets every indication that has ended by `now`, and says which.
    std::vector<Ended> drop_ended(Time now);

    // The indication that shows at `now`, or null when none does.
    const Indication* showing(Time now) const;
    LedColorCode color_at(Time now) const;
    // When what is in force may next change of itself: what shows steps on, or any indication ends. None
    // while nothing blinks or ends.
    std::optional<Time> next_change(Time now) const;
    // Every active indication, the one showing first, then by priority and recency.
    std::vector<IndicationStatus> status(Time now) const;

    // Keyed by name, then owner id, so that a name's indications sit together.
    using Key = std::pair<std::string, std::string>;
    const std::map<Key, Indication>& all() const { return in_force_; }

private:
    struct Usage {
        std::size_t indications = 0;
        std::size_t steps = 0;
    };
    std::string over_caps(const Owner& owner, const Indication* replaced, std::size_t steps) const;
    void count(const Indication& indication, int sign);

    std::map<Key, Indication> in_force_;
    std::map<std::string, Usage> usage_;  // by owner id
    std::size_t steps_ = 0;
    std::uint64_t next_order_ = 0;
};

}  // namespace service
