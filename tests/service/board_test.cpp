// The board against a fake clock: which indication shows, the colour at each moment, when the
// next change is due (and that none is due while nothing changes), and how indications end.
#include "board.h"
#include "state.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using service::Board;
using service::Time;

const Time t0 = Time{} + 1h;
const service::Owner alice{"1000", "alice"};

// A request as the protocol would read it, from a line.
protocol::Request request(const std::string& line) {
    protocol::Parsed parsed = protocol::parse_request(line);
    EXPECT_TRUE(parsed.request) << line << ": " << parsed.error;
    return parsed.request.value_or(protocol::Request{});
}

struct Moment {
    std::chrono::milliseconds at;                   // after t0
    LedColorCode color;                             // shown then
    std::optional<std::chrono::milliseconds> next;  // when the next change is due, after t0; none: never
};

TEST(BoardTest, ShowsTheRightColourAndWakesOnlyForChanges) {
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
        Board board;
        auto next_request = c.requests.begin();
        for (const Moment& moment : c.moments) {
            SCOPED_TRACE("at " + std::to_string(moment.at.count()) + " ms");
            for (; next_request != c.requests.end() && next_request->first <= moment.at; ++next_request) {
                const protocol::Request asked = request(next_request->second);
                if (asked.command == protocol::Command::clear) {
                    board.clear(asked.name, alice.id);
                } else {
                    board.set(asked, alice, t0 + next_request->first);
                }
            }
            board.drop_ended(t0 + moment.at);
            EXPECT_EQ(board.color_at(t0 + moment.at), moment.color);
            const std::optional<Time> next = board.next_change(t0 + moment.at);
            EXPECT_EQ(next.has_value(), moment.next.has_value());
            if (next && moment.next) {
                EXPECT_EQ(*next, t0 + *moment.next);
            }
        }
    }
}

TEST(BoardTest, StatusListsWhatIsActiveShowingFirstWithTimeLeft) {
    Board board;
    board.set(request("set blue name=base priority=1"), alice, t0);
    board.set(request("blink red 100 100 count=5 name=alarm priority=200"), alice, t0);
    board.set(request("set green name=gone for=10"), alice, t0);
    const std::vector<service::IndicationStatus> status = board.status(t0 + 250ms);
    ASSERT_EQ(status.size(), 2u) << "the expired one is not listed";
    EXPECT_EQ(status[0].indication->name, "alarm");
    EXPECT_EQ(status[0].shows_now, LED_COLOR_RED);
    EXPECT_EQ(status[0].left, std::chrono::milliseconds(750));
    EXPECT_EQ(status[1].indication->name, "base");
    EXPECT_EQ(status[1].left, std::nullopt);
}

// Names belong to their owner, and what is in force is capped for all and for each owner; the
// refusal names the cap and what to do.
TEST(BoardTest, NamesAreTheirOwnersAndWhatIsInForceIsCapped) {
    const service::Owner owners[] = {alice, {"1001", "bob"}, {"1002", "carol"}, {"1003", "dave"}, {"1004", "erin"}};
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
        {"the 4097th step in all", fill(4, 7, steps_of_mine), 4, "set red",
         "it would put 4097 steps in force, more than the 4096 there may be; clear a blink or pattern first", 28},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Board board;
        for (const Asked& asked : c.before) {
            const protocol::Request before = request(asked.line);
            if (before.command == protocol::Command::clear) {
                board.clear(before.name, owners[asked.owner].id);
            } else {
                ASSERT_EQ(board.refusal(before, owners[asked.owner]), "") << asked.line.substr(0, 40);
                board.set(before, owners[asked.owner], t0);
            }
        }
        const protocol::Request last = request(c.last_line);
        EXPECT_EQ(board.refusal(last, owners[c.last_owner]), c.refusal);
        if (c.refusal.empty()) {
            board.set(last, owners[c.last_owner], t0);
        }
        EXPECT_EQ(board.indications().size(), c.in_force);
    }
}

TEST(BoardTest, TwoUsersDefaultsAreTwoAndEachClearsItsOwn) {
    const service::Owner bob{"1001", "bob"};
    Board board;
    board.set(request("set red priority=200"), alice, t0);
    board.set(request("set blue"), bob, t0);
    EXPECT_EQ(board.indications().size(), 2u);
    EXPECT_EQ(board.clear("default", "1002"), 0u) << "nobody else's";
    EXPECT_EQ(board.clear("default", bob.name), 1u) << "by the owner's name";
    EXPECT_EQ(board.color_at(t0), LED_COLOR_RED);
    EXPECT_EQ(board.clear("default", alice.id), 1u) << "by the owner's id";
    EXPECT_EQ(board.color_at(t0), LED_COLOR_OFF);
}

}  // namespace

namespace {

// The state file read back: what comes back onto the board, and what is refused whole.
TEST(BoardTest, AStateFileBringsBackWhatWasAskedAndNothingUntrusted) {
    using namespace std::chrono_literals;
    const service::WallTime wall = service::WallTime{} + std::chrono::hours(24 * 365 * 50);
    const long long wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count();
    const auto entry = [](const std::string& request, long long set_at, const std::string& expires) {
        return R"({"request":")" + request + R"(","owner_id":"1000","owner":"alice","set_at_ms":)" + std::to_string(set_at) +
               R"(,"expires_at_ms":)" + expires + "}";
    };
    const auto file = [](const std::string& entries) { return R"({"version":1,"indications":[)" + entries + "]}"; };

    Board written;
    written.set(request("set blue name=base priority=1"), alice, t0);
    written.set(request("blink red 100 100 count=50 name=alarm priority=200 for=60000"), alice, t0);
    // Equal priorities, set one after the other: the one set last shows, before and after.
    Board tied;
    tied.set(request("set green name=b"), {"1001", "bob"}, t0);
    tied.set(request("set red name=a"), alice, t0 + 1ms);
    const auto crowd = [&entry, wall_ms](int count) {
        std::string entries;
        for (int index = 0; index < count; ++index) {
            entries += (index == 0 ? "" : ",") + entry("set red name=n" + std::to_string(index), wall_ms, "null");
        }
        return entries;
    };
    struct Case {
        const char* name;
        std::string text;
        bool trusted;
        std::vector<std::string> names;  // what is back, showing first
        LedColorCode shows;              // 150 ms after it was written
        LedColorCode shows_a_second_later;
    };
    const Case cases[] = {
        {"what the board wrote, read back 150 ms later", service::state_text(written, t0, wall), true,
         {"alarm", "base"}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"equal priorities, in the order they were set", service::state_text(tied, t0 + 1ms, wall), true, {"a", "b"},
         LED_COLOR_RED, LED_COLOR_RED},
        {"an indication whose count has run out since is left out",
         file(entry("pattern red:100 off:100 name=a repeat=2", wall_ms - 1000, "null")), true, {}, LED_COLOR_OFF,
         LED_COLOR_OFF},
        {"one that has expired since is left out", file(entry("set red name=a", wall_ms - 10, std::to_string(wall_ms - 5))),
         true, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"a wall clock set back since: it starts afresh, and ends as if set now",
         file(entry("pattern red:300 blue:300 name=a repeat=1", wall_ms + 86'400'000, "null")), true, {"a"},
         LED_COLOR_RED, LED_COLOR_OFF},
        {"as many as the caps allow", file(crowd(256)), true, std::vector<std::string>(1, "n255"), LED_COLOR_RED,
         LED_COLOR_RED},
        {"more than the caps allow", file(crowd(257)), false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"truncated", service::state_text(written, t0, wall).substr(0, 40), false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"not this file's version", R"({"version":2,"indications":[]})", false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"a version that is a string", R"({"version":"1","indications":[]})", false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"a version that is null", R"({"version":null,"indications":[]})", false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"indications that are not a list", R"({"version":1,"indications":{}})", false, {}, LED_COLOR_OFF,
         LED_COLOR_OFF},
        {"an indication that is not an object", file("[1]"), false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"an indication without its owner",
         file(R"({"request":"set red name=a","set_at_ms":)" + std::to_string(wall_ms) + R"(,"expires_at_ms":null})"),
         false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"a request no client could make", file(entry("set pink name=a", wall_ms, "null")), false, {}, LED_COLOR_OFF,
         LED_COLOR_OFF},
        {"a request that is not an indication", file(entry("clear name=a", wall_ms, "null")), false, {}, LED_COLOR_OFF,
         LED_COLOR_OFF},
        {"a time far out of range", file(entry("set red name=a", -9'000'000'000'000'000'000LL, "null")), false, {},
         LED_COLOR_OFF, LED_COLOR_OFF},
        {"an expiry far out of range", file(entry("set red name=a", wall_ms, "9000000000000000000")), false, {},
         LED_COLOR_OFF, LED_COLOR_OFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Board board;
        std::string why;
        const Time later = t0 + 24h;  // another boot: the steady clock is not the one that wrote it
        EXPECT_EQ(service::restore_state(board, c.text, later, wall + 150ms, why), c.trusted) << why;
        std::vector<std::string> names;
        for (const service::IndicationStatus& entry : board.status(later)) {
            names.push_back(entry.indication->name);
        }
        // Many indications: the first is enough to tell them apart.
        names.resize(std::min(names.size(), c.names.size()));
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(board.color_at(later), c.shows);
        EXPECT_EQ(board.color_at(later + 1s), c.shows_a_second_later);
    }
}

}  // namespace
