// The protocol's requests and replies, shared by the service and its clients: what each line
// asks, the exact error for each kind of bad line, a client's own arguments, and which lines are
// replies.
#include "endpoint.h"
#include "reply.h"
#include "request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using protocol::Step;

TEST(ProtocolTest, ReadsWhatEachRequestAsks) {
    struct Case {
        std::string line;
        protocol::Command command;
        std::vector<Step> steps;
        std::string name = "default";
        int priority = 100;
        std::optional<std::uint32_t> cycles = std::nullopt;
        std::optional<std::uint32_t> for_ms = std::nullopt;
        std::optional<std::string> owner = std::nullopt;
    };
    const Case cases[] = {
        {"set red", protocol::Command::set, {{LED_COLOR_RED, 0}}},
        {"SET Cb name=alarm.1 priority=255 for=5000", protocol::Command::set, {{LED_COLOR_CB, 0}}, "alarm.1", 255,
         std::nullopt, 5000},
        {"  set   off  ", protocol::Command::set, {{LED_COLOR_OFF, 0}}},
        {"set purple\r", protocol::Command::set, {{LED_COLOR_PURPLE, 0}}},
        {"blink green", protocol::Command::blink, {{LED_COLOR_GREEN, 500}, {LED_COLOR_OFF, 500}}},
        {"blink green 200", protocol::Command::blink, {{LED_COLOR_GREEN, 200}, {LED_COLOR_OFF, 500}}},
        {"blink green 200 100 count=3 priority=0", protocol::Command::blink,
         {{LED_COLOR_GREEN, 200}, {LED_COLOR_OFF, 100}}, "default", 0, 3},
        {"pattern red:100 OFF:1 white:3600000 repeat=1000000", protocol::Command::pattern,
         {{LED_COLOR_RED, 100}, {LED_COLOR_OFF, 1}, {LED_COLOR_WHITE, 3600000}}, "default", 100, 1000000},
        {"clear name=x", protocol::Command::clear, {}, "x"},
        {"clear owner=DOMAIN\\Zoë name=x", protocol::Command::clear, {}, "x", 100, std::nullopt, std::nullopt,
         "DOMAIN\\Zoë"},
        {"set red for=2147483647 name=" + std::string(64, 'n'), protocol::Command::set, {{LED_COLOR_RED, 0}},
         std::string(64, 'n'), 100, std::nullopt, 2147483647},
        {"set red priority=0000000255", protocol::Command::set, {{LED_COLOR_RED, 0}}, "default", 255},
        {"get", protocol::Command::get, {}},
        {"status", protocol::Command::status, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const protocol::Parsed parsed = protocol::parse_request(c.line);
        ASSERT_TRUE(parsed.request) << parsed.error;
        EXPECT_EQ(parsed.request->command, c.command);
        EXPECT_EQ(parsed.request->steps, c.steps);
        EXPECT_EQ(parsed.request->name, c.name);
        EXPECT_EQ(parsed.request->priority, c.priority);
        EXPECT_EQ(parsed.request->cycles, c.cycles);
        EXPECT_EQ(parsed.request->for_ms, c.for_ms);
        EXPECT_EQ(parsed.request->owner, c.owner);
        // What a client sends is the line it means: formatted and read back, it asks the same.
        const protocol::Parsed again = protocol::parse_request(protocol::format_request(*parsed.request));
        ASSERT_TRUE(again.request) << again.error;
        EXPECT_EQ(again.request->steps, c.steps);
        EXPECT_EQ(again.request->name, c.name);
        EXPECT_EQ(again.request->cycles, c.cycles);
        EXPECT_EQ(again.request->for_ms, c.for_ms);
        EXPECT_EQ(again.request->owner, c.owner);
    }
}

std::string steps(int count) {
    std::string line = "pattern";
    for (int step = 0; step < count; ++step) {
        line += " red:1";
    }
    return line;
}

TEST(ProtocolTest, SaysWhatIsWrongWithABadLine) {
    struct Case {
        std::string line;
        std::string reply;  // error_reply(command, error)
    };
    const Case cases[] = {
        {"", "error - empty request"},
        {"frobnicate now", "error - unknown command \"frobnicate\"; one of set, blink, pattern, clear, get, status, watch"},
        {"set r\xe9" "d", "error - not UTF-8"},
        {"set \xed\xa0\x80", "error - not UTF-8"},  // an encoded surrogate
        {"set \xc0\xae", "error - not UTF-8"},      // an overlong form
        {"set", "error set needs a colour"},
        {"set red blue", "error set takes one colour"},
        {"set pink", "error set unknown colour \"pink\"; one of off, red, green, blue, white, cb, yellow, purple"},
        {"set red priority=256", "error set priority \"256\" is not a whole number from 0 to 255"},
        {"set red priority=-1", "error set priority \"-1\" is not a whole number from 0 to 255"},
        {"set red for=0", "error set for \"0\" is not a whole number from 1 to 2147483647"},
        {"set red for=99999999999", "error set for \"99999999999\" is not a whole number from 1 to 2147483647"},
        {"set red for=2147483648", "error set for \"2147483648\" is not a whole number from 1 to 2147483647"},
        {"set red for=4294967297", "error set for \"4294967297\" is not a whole number from 1 to 2147483647"},
        {"set red for=18446744073709551617",  // 2^64 + 1
         "error set for \"18446744073709551617\" is not a whole number from 1 to 2147483647"},
        {"set red priority=0000000256", "error set priority \"0000000256\" is not a whole number from 0 to 255"},
        {"set red name=" + std::string(31, 'n') + "/",  // quoted whole, at 32 bytes
         "error set name \"" + std::string(31, 'n') + "/\" is not 1 to 64 letters, digits, '.', '_' or '-'"},
        {"set red name=" + std::string(65, 'n'),
         "error set name \"" + std::string(32, 'n') + "...\" is not 1 to 64 letters, digits, '.', '_' or '-'"},
        {"set \xf4\x90\x80\x80", "error - not UTF-8"},  // just above U+10FFFF
        {"set\tred", "error - unknown command \"set?red\"; one of set, blink, pattern, clear, get, status, watch"},
        {"set \x7f", "error set unknown colour \"?\"; one of off, red, green, blue, white, cb, yellow, purple"},
        {"clear owner=" + std::string(257, 'o'),
         "error clear owner \"" + std::string(32, 'o') + "...\" is not a user's name or id (1 to 256 bytes, no spaces)"},
        {"clear owner=", "error clear owner \"\" is not a user's name or id (1 to 256 bytes, no spaces)"},
        {"set red owner=alice", "error set takes no option \"owner\""},
        {"blink red 0", "error blink on time \"0\" is not a whole number from 1 to 3600000"},
        {"blink red 10 3600001", "error blink off time \"3600001\" is not a whole number from 1 to 3600000"},
        {"blink red count=1000001", "error blink count \"1000001\" is not a whole number from 1 to 1000000"},
        {"blink red 1 2 3", "error blink takes a colour, an on time and an off time"},
        {"pattern", "error pattern needs at least one COLOUR:MS step"},
        {"pattern red", "error pattern step \"red\" is not COLOUR:MS"},
        {"pattern red:x", "error pattern step time \"x\" is not a whole number from 1 to 3600000"},
        {steps(1025), "error pattern has more than 1024 steps"},
        {"set red name=", "error set name \"\" is not 1 to 64 letters, digits, '.', '_' or '-'"},
        {"set red name=a/b", "error set name \"a/b\" is not 1 to 64 letters, digits, '.', '_' or '-'"},
        {"set red name=a name=b", "error set option \"name\" is given twice"},
        {"set red count=3", "error set takes no option \"count\""},
        {"clear priority=3", "error clear takes no option \"priority\""},
        {"get red", "error get takes no argument \"red\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 60));
        const protocol::Parsed parsed = protocol::parse_request(c.line);
        EXPECT_FALSE(parsed.request);
        EXPECT_EQ(protocol::error_reply(parsed.command, parsed.error), c.reply);
    }
    EXPECT_TRUE(protocol::parse_request(steps(1024)).request);
    EXPECT_TRUE(protocol::parse_request("set \xf4\x8f\xbf\xbf name=x").error.find("unknown colour") != std::string::npos)
        << "U+10FFFF itself is UTF-8";
}

// A client's own arguments, each one value: never split into words, never read as an option.
TEST(ProtocolTest, ReadsEachOfAClientsArgumentsOnItsOwn) {
    struct Case {
        const char* command;
        std::vector<std::string> what;
        std::vector<protocol::Option> options;
        std::string line;    // what it asks for; empty when it is refused
        std::string option;  // the option refused, if any
    };
    const Case cases[] = {
        {"set", {"Red"}, {{"name", "a"}, {"for", "10"}}, "set red name=a priority=100 for=10", ""},
        {"blink", {"red", "10"}, {{"count", "2"}}, "blink red 10 500 name=default priority=100 count=2", ""},
        {"clear", {}, {{"owner", "bob"}}, "clear name=default owner=bob", ""},
        {"set", {"green"}, {{"name", "x priority=255"}}, "", "name"},
        {"set", {"green"}, {{"name", "x for=1000"}}, "", "name"},
        {"set", {"green"}, {{"priority", "1 name=x"}}, "", "priority"},
        {"clear", {}, {{"name", ""}}, "", "name"},
        {"clear", {}, {{"owner", "a b"}}, "", "owner"},
        {"set", {"red priority=255"}, {}, "", ""},
        {"set", {"name=x"}, {}, "", ""},
        {"pattern", {"red:1 blue:2"}, {}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.empty() ? c.what.empty() ? c.options.front().second : c.what.front() : c.line);
        const protocol::Parsed parsed = protocol::parse_words(c.command, c.what, c.options);
        EXPECT_EQ(parsed.request ? protocol::format_request(*parsed.request) : "", c.line) << parsed.error;
        EXPECT_EQ(parsed.option, c.option);
    }
}

// A client's wait for the service lasts until its deadline and never less than nothing, which the
// system would take for no deadline at all.
TEST(ProtocolTest, AClientWaitsUntilItsDeadlineAtMost) {
    const endpoint::Deadline now = std::chrono::steady_clock::now();
    struct Case {
        endpoint::Deadline deadline;
        long long least, most;  // milliseconds: what it may be, some time having passed since `now`
    };
    const Case cases[] = {
        {endpoint::kNoDeadline, 5000, 5000},
        {now + std::chrono::hours(1), 5000, 5000},
        {now + std::chrono::seconds(2), 1, 2000},
        {now, 0, 0},
        {now - std::chrono::seconds(1), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        const long long left = endpoint::milliseconds_until(c.deadline, 5000);
        EXPECT_GE(left, c.least);
        EXPECT_LE(left, c.most);
    }
}

// A client believes only a line that is a reply.
TEST(ProtocolTest, ReadsARepliesLineOrRefusesIt) {
    struct Case {
        std::string line;
        bool reply;
        bool ok;
        std::string payload_or_command;
        std::string message;
    };
    const Case cases[] = {
        {"ok", true, true, "", ""},
        {"ok red", true, true, "red", ""},
        {"ok {\"a\": 1}", true, true, "{\"a\": 1}", ""},
        {"error set unknown colour", true, false, "set", "unknown colour"},
        {"error - too many connections", true, false, "-", "too many connections"},
        {"", false, false, "", ""},
        {"ok ", false, false, "", ""},
        {"okay whatever", false, false, "", ""},
        {"OK", false, false, "", ""},
        {"ok\r", false, false, "", ""},
        {"error set", false, false, "", ""},
        {"error set ", false, false, "", ""},
        {"error  set x", false, false, "", ""},
        {"ok r\xe9" "d", false, false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const std::optional<protocol::Reply> reply = protocol::parse_reply(c.line);
        ASSERT_EQ(reply.has_value(), c.reply);
        if (reply) {
            EXPECT_EQ(reply->ok, c.ok);
            EXPECT_EQ(c.ok ? reply->payload : reply->command, c.payload_or_command);
            EXPECT_EQ(reply->message, c.message);
        }
    }
}

}  // namespace
