#include "indications.h"

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

}  // namespace

bool Indication::steady() const {
    return cycle_ms(steps) == 0;
}

std::optional<Time> Indication::ends_at() const {
    std::optional<Time> end = expires_at;
    if (cycles && !steady()) {
        const std::uint64_t total_ms = cycle_ms(steps) * *cycles;
        if (total_ms < kHorizonMs) {
            const Time done = set_at + from_ms(total_ms);
            end = end ? std::min(*end, done) : done;
        }
    }
    return end;
}

protocol::Step Indication::step_at(Time now) const {
    if (steady()) {
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
    if (steady() || !active_at(now)) {
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

std::string Indications::refusal(const protocol::Request& request, const Owner& owner) const {
    const auto replaced = in_force_.find({request.name, owner.id});
    return over_caps(owner, replaced != in_force_.end() ? &replaced->second : nullptr, request.steps.size());
}

std::string Indications::over_caps(const Owner& owner, const Indication* replaced, std::size_t steps) const {
    const auto found = usage_.find(owner.id);
    const Usage mine = found != usage_.end() ? found->second : Usage{};
    const std::size_t added = replaced != nullptr ? 0 : 1;
    const std::size_t freed = replaced != nullptr ? replaced->steps.size() : 0;
    const auto most = [](std::size_t limit) { return std::to_string(limit); };
    if (in_force_.size() + added > protocol::kMaxIndications) {
        return "there are " + most(protocol::kMaxIndications) +
               " indications in force, the most there may be; clear one first (status lists them)";
    }
    if (mine.indications + added > protocol::kMaxIndicationsPerOwner) {
        return "you have " + most(protocol::kMaxIndicationsPerOwner) +
               " indications in force, the most one user may have; clear one of yours first";
    }
    if (steps_ - freed + steps > protocol::kMaxStepsInForce) {
        return "it would put " + std::to_string(steps_ - freed + steps) + " steps in force, more than the " +
               most(protocol::kMaxStepsInForce) + " there may be; clear a blink or pattern first";
    }
    if (mine.steps - freed + steps > protocol::kMaxStepsPerOwner) {
        return "your indications would hold " + std::to_string(mine.steps - freed + steps) + " steps, more than the " +
               most(protocol::kMaxStepsPerOwner) + " one user may have; clear a blink or pattern of yours first";
    }
    return "";
}

void Indications::count(const Indication& indication, int sign) {
    Usage& mine = usage_[indication.owner.id];
    if (sign > 0) {
        mine.indications += 1;
        mine.steps += indication.steps.size();
        steps_ += indication.steps.size();
        return;
    }
    mine.indications -= 1;
    mine.steps -= indication.steps.size();
    steps_ -= indication.steps.size();
    if (mine.indications == 0) {
        usage_.erase(indication.owner.id);
    }
}

void Indications::set(const protocol::Request& request, const Owner& owner, Time now) {
    Indication indication;
    indication.owner = owner;
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

bool Indications::put(Indication indication) {
    const Key key{indication.name, indication.owner.id};
    const auto replaced = in_force_.find(key);
    if (!over_caps(indication.owner, replaced != in_force_.end() ? &replaced->second : nullptr, indication.steps.size())
             .empty()) {
        return false;
    }
    if (replaced != in_force_.end()) {
        count(replaced->second, -1);
    }
    indication.order = next_order_++;
    count(indication, +1);
    in_force_[key] = std::move(indication);
    return true;
}

std::vector<Indication> Indications::clear(const std::string& name, const std::function<bool(const Owner&)>& whose) {
    std::vector<Indication> cleared;
    for (auto at = in_force_.lower_bound({name, ""}); at != in_force_.end() && at->first.first == name;) {
        if (whose(at->second.owner)) {
            count(at->second, -1);
            cleared.push_back(std::move(at->second));
            at = in_force_.erase(at);
        } else {
            ++at;
        }
    }
    return cleared;
}

std::vector<Ended> Indications::drop_ended(Time now) {
    std::vector<Ended> ended;
    for (auto at = in_force_.begin(); at != in_force_.end();) {
        if (at->second.active_at(now)) {
            ++at;
            continue;
        }
        const bool expired = at->second.expires_at && *at->second.expires_at == *at->second.ends_at();
        count(at->second, -1);
        ended.push_back({std::move(at->second), expired});
        at = in_force_.erase(at);
    }
    return ended;
}

const Indication* Indications::showing(Time now) const {
    const Indication* best = nullptr;
    for (const auto& [key, indication] : in_force_) {
        if (indication.active_at(now) && (best == nullptr || std::tie(indication.priority, indication.order) >
                                                                 std::tie(best->priority, best->order))) {
            best = &indication;
        }
    }
    return best;
}

LedColorCode Indications::color_at(Time now) const {
    const Indication* shown = showing(now);
    return shown != nullptr ? shown->step_at(now).color : LedColorCode{LED_COLOR_OFF};
}

std::optional<Time> Indications::next_change(Time now) const {
    std::optional<Time> next;
    const auto consider = [&next](std::optional<Time> at) {
        if (at && (!next || *at < *next)) {
            next = at;
        }
    };
    for (const auto& [key, indication] : in_force_) {
        consider(indication.ends_at());
    }
    if (const Indication* shown = showing(now)) {
        consider(shown->next_step_at(now));
    }
    return next;
}

std::vector<IndicationStatus> Indications::status(Time now) const {
    std::vector<IndicationStatus> entries;
    for (const auto& [key, indication] : in_force_) {
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
