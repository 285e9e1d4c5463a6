#include "board.h"

#include <algorithm>
#include <tuple>

namespace service {
namespace {

using Nanoseconds = std::chrono::nanoseconds;

// Beyond this an end is as good as never, and later times would overflow the clock.
constexpr std::uint64_t kHorizonMs = 200ULL * 365 * 24 * 3600 * 1000;

std::uint64_t cycle_ms(const std::vector<protocol::Step>& steps) {
    std::uint64_t total = 0;
    for (const protocol::Step& step : steps) {
        total += step.ms;
    }
    return total;
}

Nanoseconds from_ms(std::uint64_t ms) {
    return std::chrono::duration_cast<Nanoseconds>(std::chrono::milliseconds(ms));
}

// How far into its steps an indication is: whole cycles done, and the time into the current one.
struct Position {
    std::uint64_t cycle;
    Nanoseconds within;
};

Position position_of(const Indication& indication, Time now) {
    const Nanoseconds cycle = from_ms(cycle_ms(indication.steps));
    const Nanoseconds elapsed = std::max(Nanoseconds::zero(), now - indication.set_at);
    return {static_cast<std::uint64_t>(elapsed / cycle), elapsed % cycle};
}

bool steady(const Indication& indication) {
    return cycle_ms(indication.steps) == 0;
}

}  // namespace

std::optional<Time> Indication::ends_at() const {
    std::optional<Time> end = expires_at;
    if (cycles && !steady(*this)) {
        const std::uint64_t total_ms = cycle_ms(steps) * *cycles;
        if (total_ms < kHorizonMs) {
            const Time done = set_at + from_ms(total_ms);
            end = end ? std::min(*end, done) : done;
        }
    }
    return end;
}

protocol::Step Indication::step_at(Time now) const {
    if (steady(*this)) {
        return steps.front();
    }
    if (!active_at(now)) {
        return steps.back();
    }
    const Position position = position_of(*this, now);
    Nanoseconds step_end{0};
    for (const protocol::Step& step : steps) {
        step_end += from_ms(step.ms);
        if (position.within < step_end) {
            return step;
        }
    }
    return steps.back();
}

std::optional<Time> Indication::next_step_at(Time now) const {
    if (steady(*this) || !active_at(now)) {
        return std::nullopt;
    }
    // From the indication's start, so that a long pattern does not drift by the time each step
    // takes to be handled.
    const Position position = position_of(*this, now);
    const Time cycle_start = set_at + from_ms(cycle_ms(steps)) * static_cast<Nanoseconds::rep>(position.cycle);
    Nanoseconds step_end{0};
    for (const protocol::Step& step : steps) {
        step_end += from_ms(step.ms);
        if (position.within < step_end) {
            break;
        }
    }
    const Time next = cycle_start + step_end;
    const std::optional<Time> end = ends_at();
    return end && *end < next ? *end : next;
}

void Board::set(const protocol::Request& request, Time now) {
    Indication indication;
    indication.name = request.name;
    indication.priority = request.priority;
    indication.steps = request.steps;
    indication.cycles = request.cycles;
    indication.set_at = now;
    if (request.for_ms) {
        indication.expires_at = now + from_ms(*request.for_ms);
    }
    put(std::move(indication));
}

void Board::put(Indication indication) {
    indication.order = next_order_++;
    const std::string name = indication.name;
    indications_[name] = std::move(indication);
}

void Board::clear(const std::string& name) {
    indications_.erase(name);
}

void Board::drop_ended(Time now) {
    for (auto at = indications_.begin(); at != indications_.end();) {
        at = at->second.active_at(now) ? std::next(at) : indications_.erase(at);
    }
}

const Indication* Board::showing(Time now) const {
    const Indication* best = nullptr;
    for (const auto& [name, indication] : indications_) {
        if (indication.active_at(now) && (best == nullptr || std::tie(indication.priority, indication.order) >
                                                                 std::tie(best->priority, best->order))) {
            best = &indication;
        }
    }
    return best;
}

LedColorCode Board::color_at(Time now) const {
    const Indication* shown = showing(now);
    return shown != nullptr ? shown->step_at(now).color : LedColorCode{LED_COLOR_OFF};
}

std::optional<Time> Board::next_change(Time now) const {
    const Indication* shown = showing(now);
    if (shown == nullptr) {
        return std::nullopt;
    }
    const std::optional<Time> step = shown->next_step_at(now);
    const std::optional<Time> end = shown->ends_at();
    if (step && end) {
        return std::min(*step, *end);
    }
    return step ? step : end;
}

std::vector<IndicationStatus> Board::status(Time now) const {
    std::vector<IndicationStatus> entries;
    for (const auto& [name, indication] : indications_) {
        if (!indication.active_at(now)) {
            continue;
        }
        const std::optional<Time> end = indication.ends_at();
        entries.push_back({&indication, indication.step_at(now).color,
                           end ? std::optional<std::chrono::milliseconds>(
                                     std::chrono::duration_cast<std::chrono::milliseconds>(*end - now))
                               : std::nullopt});
    }
    std::sort(entries.begin(), entries.end(), [](const IndicationStatus& a, const IndicationStatus& b) {
        return std::tie(a.indication->priority, a.indication->order) >
               std::tie(b.indication->priority, b.indication->order);
    });
    return entries;
}

}  // namespace service
