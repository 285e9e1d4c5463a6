// The indications in force against a fake clock: which one shows, the colour at each moment, when
// the next change is due (and that none is due while nothing changes), how indications end, whose
// they are, and the caps on what is in force.
#include "core_fixtures.h"
#include "indications.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace core_fixtures;
using service::Indications;

struct Moment {
    std::chrono::milliseconds at;                   // after t0
    LedColorCode color;                             // shown then
    std::optional<std::chrono::milliseconds> next;  // when the next change is due, after t0; none: never
};

TEST(IndicationsTest, ShowsTheRightColourAndWakesOnlyForChanges) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::chrono::milliseconds, std::string>> requests;  // at, line
        std::vector<Moment> moments;
    };
    const Case cases[] = {
        {"nothing asked: off, and no wake-up", {}, {{0ms, LED_COLOR_OFF, std::nullopt}}},
        {"a steady colour never wakes the clock", {{0ms, "set red"}}, {{0ms, LED_COLOR_RED, std::nullopt},
                                                                       {100h, LED_COLOR_RED, std::nullopt}}},
        {"the higher priority shows; clearing it reveals the lower",
         {{0ms, "set red name=low priority=10"}, {5ms, "set blue name=high priority=200"}, {20ms, "clear name=high"}},
         {{1ms, LED_COLOR_RED, std::nullopt}, {10ms, LED_COLOR_BLUE, std::nullopt}, {20ms, LED_COLOR_RED, std::nullopt}}},
        {"on a tie, the one set last shows",
         {{0ms, "set red name=a"}, {5ms, "set green name=b"}, {10ms, "set blue name=a"}},
         {{6ms, LED_COLOR_GREEN, std::nullopt}, {10ms, LED_COLOR_BLUE, std::nullopt}}},
        {"the same name replaces, and its steps start again",
         {{0ms, "blink red 100 100"}, {150ms, "blink green 100 100"}},
         {{150ms, LED_COLOR_GREEN, 250ms}, {250ms, LED_COLOR_OFF, 350ms}}},
        {"a blink steps on its asked times, from its start, however late it is looked at",
         {{0ms, "blink green 200 100"}},
         {{0ms, LED_COLOR_GREEN, 200ms}, {199ms, LED_COLOR_GREEN, 200ms}, {200ms, LED_COLOR_OFF, 300ms},
          {300ms, LED_COLOR_GREEN, 500ms}, {300'000ms + 205ms, LED_COLOR_OFF, 300'000ms + 300ms}}},
        {"a counted blink ends, and what lies beneath shows",
         {{0ms, "set blue name=base priority=1"}, {0ms, "blink green 100 100 count=2"}},
         {{350ms, LED_COLOR_OFF, 400ms}, {400ms, LED_COLOR_BLUE, std::nullopt}}},
        {"an indication set for a while expires",
         {{0ms, "set blue name=base priority=1"}, {0ms, "set red for=300"}},
         {{299ms, LED_COLOR_RED, 300ms}, {300ms, LED_COLOR_BLUE, std::nullopt}}},
        {"an expiry cuts a blink's step short",
         {{0ms, "blink red 1000 1000 for=300"}}, {{0ms, LED_COLOR_RED, 300ms}, {300ms, LED_COLOR_OFF, std::nullopt}}},
        {"a pattern runs its steps, repeat times",
         {{0ms, "pattern red:100 blue:50 white:10 repeat=2"}},
         {{0ms, LED_COLOR_RED, 100ms}, {100ms, LED_COLOR_BLUE, 150ms}, {155ms, LED_COLOR_WHITE, 160ms},
          {160ms, LED_COLOR_RED, 260ms}, {319ms, LED_COLOR_WHITE, 320ms}, {320ms, LED_COLOR_OFF, std::nullopt}}},
        {"a blink hidden under a steady colour wakes nothing",
         {{0ms, "blink red 100 100 name=under priority=1"}, {0ms, "set blue name=over priority=2"}},
         {{150ms, LED_COLOR_BLUE, std::nullopt}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Indications indications;
        auto next_request = c.requests.begin();
        for (const Moment& moment : c.moments) {
            SCOPED_TRACE("at " + std::to_string(moment.at.count()) + " ms");
            for (; next_request != c.requests.end() && next_request->first <= moment.at; ++next_request) {
                const protocol::Request asked = request(next_request->second);
                if (asked.command == protocol::Command::clear) {
                    indications.clear(asked.name, owned_by(alice.id));
                } else {
                    indications.set(asked, alice, t0 + next_request->first);
                }
            }
            indications.drop_ended(t0 + moment.at);
            EXPECT_EQ(indications.color_at(t0 + moment.at), moment.color);
            const std::optional<Time> next = indications.next_change(t0 + moment.at);
            EXPECT_EQ(next.has_value(), moment.next.has_value());
            if (next && moment.next) {
                EXPECT_EQ(*next, t0 + *moment.next);
            }
        }
    }
}

TEST(IndicationsTest, StatusListsWhatIsActiveShowingFirstWithTimeLeft) {
    Indications indications;
    indications.set(request("set blue name=base priority=1"), alice, t0);
    indications.set(request("blink red 100 100 count=5 name=alarm priority=200"), alice, t0);
    indications.set(request("set green name=gone for=10"), alice, t0);
    const std::vector<service::IndicationStatus> status = indications.status(t0 + 250ms);
    ASSERT_EQ(status.size(), 2u) << "the expired one is not listed";
    EXPECT_EQ(status[0].indication->name, "alarm");
    EXPECT_EQ(status[0].shows_now, LED_COLOR_RED);
    EXPECT_EQ(status[0].left, std::chrono::milliseconds(750));
    EXPECT_EQ(status[1].indication->name, "base");
    EXPECT_EQ(status[1].left, std::nullopt);
}

// Names belong to their owner, and what is in force is capped for all and for each owner; the
// refusal names the cap and what to do.
TEST(IndicationsTest, NamesAreTheirOwnersAndWhatIsInForceIsCapped) {
    const service::Owner owners[] = {alice, bob, {"1002", "carol"}, {"1003", "dave"}, {"1004", "erin"}};
    struct Asked {
        int owner;  // index into owners
        std::string line;
    };
    const auto pattern = [](int steps, const std::string& name) {
        std::string line = "pattern";
        for (int step = 0; step < steps; ++step) {
            line += " red:1";
        }
        return line + " name=" + name;
    };
    // `count` indications of each of the first `owners` owners, made by `line`.
    const auto fill = [](int owner_count, int count, const std::function<std::string(int)>& line) {
        std::vector<Asked> asked;
        for (int owner = 0; owner < owner_count; ++owner) {
            for (int index = 0; index < count; ++index) {
                asked.push_back({owner, line(index)});
            }
        }
        return asked;
    };
    const auto named = [](int index) { return "set red name=n" + std::to_string(index); };
    const auto steps_of_mine = [&pattern](int index) { return index < 6 ? pattern(150, "p" + std::to_string(index)) : pattern(124, "last"); };
    const std::string per_owner = "you have 256 indications in force, the most one user may have; clear one of yours first";
    const std::string in_all = "there are 1024 indications in force, the most there may be; clear one first (status lists them)";
    struct Case {
        const char* name;
        std::vector<Asked> before;
        int last_owner;
        std::string last_line;
        std::string refusal;
        std::size_t in_force;  // afterwards
    };
    const Case cases[] = {
        {"a user's 256th", fill(1, 255, named), 0, "set red name=x", "", 256},
        {"a user's 257th", fill(1, 256, named), 0, "set red name=x", per_owner, 256},
        {"replacing one of 256", fill(1, 256, named), 0, "set blue name=n0", "", 256},
        {"another user's beside 256 of alice's", fill(1, 256, named), 1, "set red name=n0", "", 257},
        {"the 1024th in all", [&] { auto asked = fill(4, 256, named); asked.pop_back(); return asked; }(),
         4, "set red", "", 1024},
        {"the 1025th in all", fill(4, 256, named), 4, "set red", in_all, 1024},
        {"a cleared one makes room", [&] { auto asked = fill(1, 256, named); asked.push_back({0, "clear name=n7"}); return asked; }(),
         0, "set red name=x", "", 256},
        {"another's clear makes none", [&] { auto asked = fill(1, 256, named); asked.push_back({1, "clear name=n7"}); return asked; }(),
         0, "set red name=x", per_owner, 256},
        {"a user's 1024th step", fill(1, 6, steps_of_mine), 0, pattern(124, "x"), "", 7},
        {"a user's 1025th step", fill(1, 6, steps_of_mine), 0, pattern(125, "x"),
         "your indications would hold 1025 steps, more than the 1024 one user may have; clear a blink or pattern of yours first", 6},
        {"a pattern replaced by a longer one", fill(1, 7, steps_of_mine), 0, pattern(151, "p0"),
         "your indications would hold 1025 steps, more than the 1024 one user may have; clear a blink or pattern of yours first", 7},
        {"a user's pattern replaced by one as long, at 1024 steps", fill(1, 7, steps_of_mine), 0, pattern(150, "p0"),
         "", 7},
        {"a pattern replaced by one as long, at 4096 steps in all", fill(4, 7, steps_of_mine), 3, pattern(150, "p5"),
         "", 28},
        {"the 4097th step in all", fill(4, 7, steps_of_mine), 4, "set red",
         "it would put 4097 steps in force, more than the 4096 there may be; clear a blink or pattern first", 28},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Indications indications;
        for (const Asked& asked : c.before) {
            const protocol::Request before = request(asked.line);
            if (before.command == protocol::Command::clear) {
                indications.clear(before.name, owned_by(owners[asked.owner].id));
            } else {
                ASSERT_EQ(indications.refusal(before, owners[asked.owner]), "") << asked.line.substr(0, 40);
                indications.set(before, owners[asked.owner], t0);
            }
        }
        const protocol::Request last = request(c.last_line);
        EXPECT_EQ(indications.refusal(last, owners[c.last_owner]), c.refusal);
        if (c.refusal.empty()) {
            indications.set(last, owners[c.last_owner], t0);
        }
        EXPECT_EQ(indications.all().size(), c.in_force);
    }
}

TEST(IndicationsTest, TwoUsersDefaultsAreTwoAndEachClearsItsOwn) {
    Indications indications;
    indications.set(request("set red priority=200"), alice, t0);
    indications.set(request("set blue"), bob, t0);
    EXPECT_EQ(indications.all().size(), 2u);
    EXPECT_EQ(indications.clear("default", owned_by("1002")).size(), 0u) << "nobody else's";
    EXPECT_EQ(indications.clear("default", owned_by(bob.id)).size(), 1u);
    EXPECT_EQ(indications.color_at(t0), LED_COLOR_RED);
    EXPECT_EQ(indications.clear("default", owned_by(alice.id)).size(), 1u);
    EXPECT_EQ(indications.color_at(t0), LED_COLOR_OFF);
}

}  // namespace
