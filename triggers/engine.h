// The rules at work on the event loop: each rule checked at its interval (the rules of one interval
// together, so that the program wakes once for them all), its results counted in a row, and its
// indication set, renewed before it expires, and cleared, through the LED link.
#pragma once

#include "checks.h"
#include "led_link.h"
#include "rules.h"

#include <asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace triggers {

class Engine {
public:
    Engine(asio::io_context& io, LedLink& led);
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    ~Engine();

    // Puts `rules` to work, in place of those at work: a rule that is unchanged keeps its count
    // and what it shows; the indications of the rules changed or gone are cleared at once, and a
    // changed rule starts afresh. Gives how many were kept.
    std::size_t apply(std::vector<Rule> rules);
    // Stops every check and clears every indication set.
    void stop();

private:
    struct Watch;
    Watch* find(std::uint64_t id);
    std::unique_ptr<Watch> start(Rule rule);
    void retire(Watch& watch);
    void schedule_check(Watch& watch, Deadline at);
    void check(Watch& watch);
    void take(Watch& watch, std::uint64_t number, const Outcome& outcome);
    void show(Watch& watch);
    void renew_later(Watch& watch);
    void clear(Watch& watch);

    asio::io_context& io_;
    LedLink& led_;
    std::vector<std::unique_ptr<Watch>> watches_;
    std::uint64_t last_id_ = 0;
};

}  // namespace triggers
