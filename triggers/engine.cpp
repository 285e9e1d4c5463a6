#include "engine.h"

#include "line_log.h"
#include "streak.h"
#include "worker.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <utility>

namespace triggers {
namespace {

constexpr Milliseconds kGrace{100};

// The next whole multiple of `every` on the steady clock: rules of one interval come due together.
Deadline next_tick(Milliseconds every) {
    const auto since = Clock::now().time_since_epoch();
    const auto ticks = since / every + 1;
    return Deadline(std::chrono::duration_cast<Clock::duration>(every * ticks));
}

}  // namespace

struct Engine::Watch {
    Watch(asio::io_context& io, Rule chosen, std::uint64_t number)
        : rule(std::move(chosen)),
          id(number),
          check(make_check(rule.when)),
          streak(rule.after),
          next_check(io),
          timeout(io),
          renewal(io) {
        if (check->waits()) {
            worker = std::make_unique<Worker>(check);
        }
    }

    Rule rule;
    std::uint64_t id;
    std::shared_ptr<Check> check;
    std::unique_ptr<Worker> worker;  // none for a check that does not wait
    Streak streak;
    asio::steady_timer next_check;
    asio::steady_timer timeout;
    asio::steady_timer renewal;
    std::uint64_t checks = 0;    // each check's number, so that an outcome that comes too late is known
    std::uint64_t answered = 0;  // the last check whose outcome was taken
    Deadline set_at{};
    std::uint64_t renewals = 0;  // since set_at
};

Engine::Engine(asio::io_context& io, LedLink& led) : io_(io), led_(led) {}

Engine::~Engine() = default;

Engine::Watch* Engine::find(std::uint64_t id) {
    const auto found =
        std::find_if(watches_.begin(), watches_.end(), [id](const auto& watch) { return watch->id == id; });
    return found == watches_.end() ? nullptr : found->get();
}

std::size_t Engine::apply(std::vector<Rule> rules) {
    std::vector<std::unique_ptr<Watch>> kept(rules.size());
    std::size_t unchanged = 0;
    for (std::size_t index = 0; index < rules.size(); ++index) {
        const auto same = std::find_if(watches_.begin(), watches_.end(), [&rules, index](const auto& watch) {
            return watch->rule.name == rules[index].name && watch->rule.definition == rules[index].definition;
        });
        if (same != watches_.end()) {
            kept[index] = std::move(*same);
            watches_.erase(same);
            ++unchanged;
        }
    }
    // Cleared before anything new is asked under the same name.
    for (const auto& gone : watches_) {
        retire(*gone);
    }
    watches_.clear();
    for (std::size_t index = 0; index < rules.size(); ++index) {
        watches_.push_back(kept[index] ? std::move(kept[index]) : start(std::move(rules[index])));
    }
    return unchanged;
}

void Engine::stop() {
    for (const auto& watch : watches_) {
        retire(*watch);
    }
    watches_.clear();
}

std::unique_ptr<Engine::Watch> Engine::start(Rule rule) {
    auto watch = std::make_unique<Watch>(io_, std::move(rule), ++last_id_);
    schedule_check(*watch, Clock::now());
    return watch;
}

void Engine::retire(Watch& watch) {
    watch.next_check.cancel();
    watch.timeout.cancel();
    watch.renewal.cancel();
    if (watch.streak.holds()) {
        clear(watch);
    }
}

void Engine::schedule_check(Watch& watch, Deadline at) {
    watch.next_check.expires_at(at);
    watch.next_check.async_wait([this, id = watch.id](const asio::error_code& error) {
        if (Watch* found = error ? nullptr : find(id)) {
            check(*found);
        }
    });
}

void Engine::check(Watch& watch) {
    schedule_check(watch, next_tick(watch.rule.every));
    const std::uint64_t number = ++watch.checks;
    const Deadline deadline = Clock::now() + watch.rule.timeout;
    if (!watch.worker) {
        take(watch, number, watch.check->run(deadline));
        return;
    }
    const bool started = watch.worker->start(deadline, [this, id = watch.id, number](Outcome outcome) {
        asio::post(io_, [this, id, number, outcome = std::move(outcome)] {
            if (Watch* found = find(id)) {
                take(*found, number, outcome);
            }
        });
    });
    if (!started) {
        take(watch, number, {true, "its last check has not ended yet"});
        return;
    }
    // A check that keeps its deadline itself says best what it saw: it is given a moment more.
    watch.timeout.expires_at(deadline + kGrace);
    watch.timeout.async_wait([this, id = watch.id, number](const asio::error_code& error) {
        if (Watch* found = error ? nullptr : find(id)) {
            take(*found, number, {true, "its check did not end within " + duration_words(found->rule.timeout)});
        }
    });
}

void Engine::take(Watch& watch, std::uint64_t number, const Outcome& outcome) {
    if (number != watch.checks || number == watch.answered) {
        return;
    }
    watch.answered = number;
    watch.timeout.cancel();
    const std::optional<bool> verdict = watch.streak.take(outcome.holds);
    if (!verdict) {
        return;
    }
    if (*verdict) {
        program_support::log("rule " + watch.rule.name + " holds (" + outcome.seen + "): showing " +
            protocol::format_request(watch.rule.show));
        watch.set_at = Clock::now();
        watch.renewals = 0;
        show(watch);
    } else {
        program_support::log("rule " + watch.rule.name + " does not hold (" + outcome.seen + "): nothing shown");
        watch.renewal.cancel();
        clear(watch);
    }
}

void Engine::show(Watch& watch) {
    protocol::Request showing = watch.rule.show;
    showing.for_ms = static_cast<std::uint32_t>(expiry(watch.rule).count());
    led_.ask(showing);
    renew_later(watch);
}

void Engine::renew_later(Watch& watch) {
    watch.renewal.expires_at(watch.set_at + renewal_period(watch.rule) * ++watch.renewals);
    // A renewal already due when the rule stopped holding may still come: it is not carried out.
    watch.renewal.async_wait([this, id = watch.id, renewal = watch.renewals](const asio::error_code& error) {
        Watch* found = error ? nullptr : find(id);
        if (found != nullptr && found->streak.holds() && found->renewals == renewal) {
            show(*found);
        }
    });
}

void Engine::clear(Watch& watch) {
    protocol::Request clearing;
    clearing.command = protocol::Command::clear;
    clearing.name = watch.rule.name;
    led_.ask(clearing);
}

}  // namespace triggers
