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
                    board.clear(asked.name);
                } else {
                    board.set(asked, t0 + next_request->first);
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
    board.set(request("set blue name=base priority=1"), t0);
    board.set(request("blink red 100 100 count=5 name=alarm priority=200"), t0);
    board.set(request("set green name=gone for=10"), t0);
    const std::vector<service::IndicationStatus> status = board.status(t0 + 250ms);
    ASSERT_EQ(status.size(), 2u) << "the expired one is not listed";
    EXPECT_EQ(status[0].indication->name, "alarm");
    EXPECT_EQ(status[0].shows_now, LED_COLOR_RED);
    EXPECT_EQ(status[0].left, std::chrono::milliseconds(750));
    EXPECT_EQ(status[1].indication->name, "base");
    EXPECT_EQ(status[1].left, std::nullopt);
}

}  // namespace

namespace {

// The state file read back: what comes back onto the board, and what is refused whole.
TEST(BoardTest, AStateFileBringsBackWhatWasAskedAndNothingUntrusted) {
    using namespace std::chrono_literals;
    const service::WallTime wall = service::WallTime{} + std::chrono::hours(24 * 365 * 50);
    const long long wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count();
    const auto entry = [](const std::string& request, long long set_at, const std::string& expires) {
        return R"({"request":")" + request + R"(","set_at_ms":)" + std::to_string(set_at) +
               R"(,"expires_at_ms":)" + expires + "}";
    };
    const auto file = [](const std::string& entries) { return R"({"version":1,"indications":[)" + entries + "]}"; };

    Board written;
    written.set(request("set blue name=base priority=1"), t0);
    written.set(request("blink red 100 100 count=50 name=alarm priority=200 for=60000"), t0);
    struct Case {
        const char* name;
        std::string text;
        bool trusted;
        std::vector<std::string> names;  // what is back, showing first
        LedColorCode shows;              // 150 ms after it was written
    };
    const Case cases[] = {
        {"what the board wrote, read back 150 ms later", service::state_text(written, t0, wall), true,
         {"alarm", "base"}, LED_COLOR_OFF},
        {"an indication whose count has run out since is left out",
         file(entry("pattern red:100 off:100 name=a repeat=2", wall_ms - 1000, "null")), true, {}, LED_COLOR_OFF},
        {"one that has expired since is left out", file(entry("set red name=a", wall_ms - 10, std::to_string(wall_ms - 5))),
         true, {}, LED_COLOR_OFF},
        {"a wall clock set back since: it starts afresh", file(entry("set red name=a", wall_ms + 86'400'000, "null")),
         true, {"a"}, LED_COLOR_RED},
        {"truncated", service::state_text(written, t0, wall).substr(0, 40), false, {}, LED_COLOR_OFF},
        {"not this file's version", R"({"version":2,"indications":[]})", false, {}, LED_COLOR_OFF},
        {"a request no client could make", file(entry("set pink name=a", wall_ms, "null")), false, {}, LED_COLOR_OFF},
        {"a request that is not an indication", file(entry("clear name=a", wall_ms, "null")), false, {}, LED_COLOR_OFF},
        {"a time far out of range", file(entry("set red name=a", -9'000'000'000'000'000'000LL, "null")), false, {},
         LED_COLOR_OFF},
        {"an expiry far out of range", file(entry("set red name=a", wall_ms, "9000000000000000000")), false, {},
         LED_COLOR_OFF},
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
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(board.color_at(later), c.shows);
    }
}

}  // namespace
