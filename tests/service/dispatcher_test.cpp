// The service's one request path against a fake clock: for each kind of line, the reply, when it
// may go, whether what is in force changed, and what the log says; and what a stop leaves shown.
#include "core_fixtures.h"
#include "dispatcher.h"
#include "reply.h"
#include "status_board.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace core_fixtures;
using service::Answer;
using service::Client;

const Client alice_client{alice, false, "user alice"};
const Client bob_client{bob, false, "user bob"};
const Client root_client{{"0", "root"}, true, "user root"};
// Where a numeric user name is another user's id ("1002" of uid 1005, and uid 1002).
const Client id_as_alice_name{{"alice", "mallory"}, false, "user mallory"};

protocol::LineReader::Line line(const std::string& text) {
    return {false, text};
}

constexpr const char* kOverTheLimit = nullptr;  // a line that came too long to be kept
constexpr const char* kinds[] = {"set", "cleared", "expired", "ended", "restored"};

TEST(DispatcherTest, AnswersEachKindOfLineAtItsMoment) {
    struct Case {
        const char* name;
        std::vector<std::string> before;  // alice's requests at t0
        const Client* client;
        const char* asked;  // at t0 + 20 ms
        Answer::When when;
        std::string reply;  // for after_read_back: with nothing read back
        bool changed;
        std::vector<std::string> log;  // each line [the user it is about]
        std::vector<std::string> events;  // "kind name owner -> what shows, its colour"
    };
    const Case cases[] = {
        {"a line over the limit", {}, &alice_client, kOverTheLimit, Answer::When::now,
         "error - line longer than 1024 bytes", false, {}, {}},
        {"a bad request", {}, &alice_client, "set pink", Answer::When::now,
         "error set unknown colour \"pink\"; one of off, red, green, blue, white, cb, yellow, purple", false, {}, {}},
        {"a change waits for the LED", {}, &alice_client, "set red", Answer::When::once_shown, "ok", true,
         {"user alice: set red -> the LED shows red (default of alice) [alice (1000)]"}, {"set default alice -> default alice, red"}},
        {"a refused change", {}, &alice_client, "set red owner=x", Answer::When::now,
         "error set takes no option \"owner\"", false, {}, {}},
        {"clearing your own", {"set red"}, &alice_client, "clear", Answer::When::once_shown, "ok", true,
         {"user alice: clear -> the LED shows off [alice (1000)]"}, {"cleared default alice -> -, off"}},
        {"clearing what is not there", {}, &alice_client, "clear name=x", Answer::When::now, "ok", false, {}, {}},
        {"clearing another's", {"set red"}, &bob_client, "clear owner=alice", Answer::When::now,
         "error clear only root, SYSTEM and Administrators may clear another user's indication; leave out owner= "
         "to clear your own",
         false, {}, {}},
        {"root clearing another's", {"set red"}, &root_client, "clear owner=alice", Answer::When::once_shown,
         "ok", true, {"user root: clear owner=alice -> the LED shows off [root (0)]"}, {"cleared default alice -> -, off"}},
        {"naming yourself", {"set red"}, &alice_client, "clear owner=1000", Answer::When::once_shown, "ok", true,
         {"user alice: clear owner=1000 -> the LED shows off [alice (1000)]"}, {"cleared default alice -> -, off"}},
        {"naming yourself by name", {"set red"}, &alice_client, "clear owner=alice", Answer::When::once_shown, "ok",
         true, {"user alice: clear owner=alice -> the LED shows off [alice (1000)]"}, {"cleared default alice -> -, off"}},
        {"get", {"set red"}, &bob_client, "get", Answer::When::now, "ok red", false, {}, {}},
        {"what ended is let go first, and said", {"set red for=10", "set blue name=b priority=1"}, &bob_client,
         "get", Answer::When::now, "ok blue", true, {"default of alice expired [alice (1000)]"}, {"expired default alice -> b alice, blue"}},
        {"status waits for the read-back", {}, &bob_client, "status", Answer::When::after_read_back, "", false, {}, {}},
        {"a user whose id is another's name clears only their own", {"set red"}, &id_as_alice_name, "clear",
         Answer::When::now, "ok", false, {}, {}},
        {"watch starts a watch", {}, &bob_client, "watch", Answer::When::watching, "ok", false, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        service::Indications indications;
        for (const std::string& before : c.before) {
            indications.set(request(before), alice, t0);
        }
        const protocol::LineReader::Line asked = c.asked != kOverTheLimit ? line(c.asked) : protocol::LineReader::Line{true, ""};
        const Answer answer = service::dispatch(indications, asked, *c.client, t0 + 20ms);
        EXPECT_EQ(answer.when, c.when);
        EXPECT_EQ(answer.reply, c.reply);
        EXPECT_EQ(answer.in_force_changed, c.changed);
        std::vector<std::string> log;
        for (const service::LogLine& line : answer.changes.log) {
            log.push_back(line.text + " [" + line.user + "]");
        }
        EXPECT_EQ(log, c.log);
        std::vector<std::string> events;
        for (const service::Event& event : answer.changes.events) {
            events.push_back(kinds[static_cast<int>(event.kind)] + std::string(" ") +
                             event.name + " " + event.owner.name + " -> " +
                             (event.showing.empty() ? "-" : event.showing + " " + event.showing_owner) + ", " +
                             protocol::color_name(event.color));
        }
        EXPECT_EQ(events, c.events);
    }
}

TEST(DispatcherTest, AnEventLineSaysWhatChangedAndWhatShows) {
    service::Indications indications;
    indications.set(request("set red name=alarm priority=200"), alice, t0);
    const service::Indication& alarm = indications.all().at({"alarm", alice.id});
    EXPECT_EQ(service::event_line(service::event_of(service::Event::Kind::set, alarm, indications, t0), 7),
              R"(event {"color":"red","event":"set","name":"alarm","owner":"alice","owner_id":"1000",)"
              R"("seq":7,"showing":"alarm","showing_owner":"alice"})");
    const std::vector<service::Indication> gone = indications.clear("alarm", owned_by(alice.id));
    EXPECT_EQ(service::event_line(service::event_of(service::Event::Kind::cleared, gone.at(0), indications, t0), 8),
              R"(event {"color":"off","event":"cleared","name":"alarm","owner":"alice","owner_id":"1000",)"
              R"("seq":8,"showing":null,"showing_owner":null})");
}

TEST(DispatcherTest, AChangeTheLedDidNotTakeOrTheStateFileDidNotKeepIsAnError) {
    service::Indications indications;
    const Answer answer = service::dispatch(indications, line("set red"), alice_client, t0);
    EXPECT_EQ(service::reply_once_shown(answer, LED_COLOR_RED, LED_COLOR_RED, ""), "ok");
    EXPECT_EQ(service::reply_once_shown(answer, LED_COLOR_RED, LED_COLOR_UNKNOWN, ""),
              "error set the LED did not take it: it reads back unknown, not red; what was asked stays in force");
    EXPECT_EQ(service::reply_once_shown(answer, LED_COLOR_RED, LED_COLOR_RED, "No space left on device"),
              "error set the state file cannot be written (No space left on device): what was asked is in force, "
              "but would not outlive a restart");
}

// The status board follows what is in force change by change, and reports it as one JSON object.
TEST(DispatcherTest, AStatusReplyIsOneJsonObjectOfAllInForce) {
    struct Case {
        const char* name;
        std::vector<std::pair<service::Owner, std::string>> before;
        std::optional<LedColorCode> read_back;
        std::string reply;  // at t0 + 250 ms
    };
    const Case cases[] = {
        {"nothing in force", {}, std::nullopt,
         R"(ok {"showing":null,"owner":null,"color":"off","read_back":null,"indications":[]})"},
        {"the one showing first, each with its steps, cycles and time left; replaced and cleared ones gone",
         {{alice, "set blue name=base priority=1"}, {bob, "set red name=gone"},
          {bob, "blink green 100 400 count=3 name=alarm for=1000"}, {bob, "clear name=gone"},
          {bob, "blink red 100 400 count=3 name=alarm for=1000"}},
         LED_COLOR_RED,
         R"(ok {"showing":"alarm","owner":"bob","color":"off","read_back":"red","indications":[)"
         R"({"name":"alarm","owner":"bob","owner_id":"1001","priority":100,"steps":[{"color":"red","ms":100},)"
         R"({"color":"off","ms":400}],"cycles":3,"shows":"off","left_ms":750},)"
         R"({"name":"base","owner":"alice","owner_id":"1000","priority":1,"steps":[{"color":"blue","ms":0}],)"
         R"("cycles":null,"shows":"blue","left_ms":null}]})"},
        {"an owner's name the system gave in other bytes stays JSON",
         {{{"7", std::string("a\"b\x01\xff", 5)}, "set red"}}, std::nullopt,
         R"(ok {"showing":"default","owner":"a\"b\u0001\u00ff","color":"red","read_back":null,"indications":[)"
         R"({"name":"default","owner":"a\"b\u0001\u00ff","owner_id":"7","priority":100,)"
         R"("steps":[{"color":"red","ms":0}],"cycles":null,"shows":"red","left_ms":null}]})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        service::Indications indications;
        service::StatusBoard board;
        for (const auto& [owner, asked] : c.before) {
            const protocol::Request parsed = request(asked);
            const service::Indications::Key key{parsed.name, owner.id};
            if (parsed.command == protocol::Command::clear) {
                indications.clear(parsed.name, owned_by(owner.id));
                board.apply({key, std::nullopt});
            } else {
                indications.set(parsed, owner, t0);
                board.apply({key, indications.all().at(key)});
            }
        }
        EXPECT_EQ(protocol::ok_reply(board.payload(t0 + 250ms, c.read_back)), c.reply);
    }
}

TEST(DispatcherTest, AStopLeavesASteadyColourAndTurnsABlinkOff) {
    struct Case {
        const char* asked;
        std::optional<LedColorCode> left;
    };
    const Case cases[] = {{nullptr, std::nullopt}, {"set red", std::nullopt}, {"blink red", LED_COLOR_OFF},
                          {"blink red count=3", LED_COLOR_OFF}, {"pattern red:10 blue:10", LED_COLOR_OFF},
                          {"pattern red:10 blue:10 repeat=2", LED_COLOR_OFF}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.asked != nullptr ? c.asked : "nothing");
        service::Indications indications;
        if (c.asked != nullptr) {
            indications.set(request(c.asked), alice, t0);
        }
        std::string log_line;
        EXPECT_EQ(service::color_to_leave(indications, t0 + 5ms, log_line), c.left);
        EXPECT_EQ(log_line.empty(), !c.left.has_value());
    }
}

}  // namespace
