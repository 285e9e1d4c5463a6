// What the LED service has been asked to show: indications under names, each with a priority, a
// sequence of steps and a lifetime. The highest priority shows (on a tie, the one set last); with
// none, the LED is off. Pure: it is told the time and reads no clock, so tests drive it.
#pragma once

#include "protocol.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace service {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

struct Indication {
    std::string name;
    std::uint8_t priority = protocol::kDefaultPriority;
    std::vector<protocol::Step> steps;    // one step of 0 ms: a steady colour
    std::optional<std::uint32_t> cycles;  // none: the steps repeat until it is replaced
    Time set_at{};
    std::optional<Time> expires_at;  // from --for
    std::uint64_t order = 0;         // larger: set later

    // When it stops showing of itself (expired, or its cycles done); none: never.
    std::optional<Time> ends_at() const;
    bool active_at(Time now) const { return !ends_at() || now < *ends_at(); }
    // The colour it shows at `now`, and when that next changes (none: never), within its life.
    protocol::Step step_at(Time now) const;
    std::optional<Time> next_step_at(Time now) const;
};

// An indication as status reports it.
struct IndicationStatus {
    const Indication* indication;
    LedColorCode shows_now;
    std::optional<std::chrono::milliseconds> left;  // none: until replaced or cleared
};

class Board {
public:
    // Puts what the request asks under its name, replacing what was there; the steps start now.
    void set(const protocol::Request& request, Time now);
    // Puts an indication under its name as it is (its times included), as set after all others.
    void put(Indication indication);
    // Withdraws the indication of this name, if there is one.
    void clear(const std::string& name);
    // Forgets every indication that has ended by `now`.
    void drop_ended(Time now);

    // The indication that shows at `now`, or null when none does.
    const Indication* showing(Time now) const;
    LedColorCode color_at(Time now) const;
    // When what shows may next change of itself; none while nothing blinks or ends.
    std::optional<Time> next_change(Time now) const;
    // Every active indication, the one showing first, then by priority and recency.
    std::vector<IndicationStatus> status(Time now) const;

    const std::map<std::string, Indication>& indications() const { return indications_; }

private:
    std::map<std::string, Indication> indications_;
    std::uint64_t next_order_ = 0;
};

}  // namespace service
