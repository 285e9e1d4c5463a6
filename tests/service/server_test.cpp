// The server on an event loop the test runs, with the LED, the journal and the status board as
// fakes that complete when the test says, and a clock the test moves: which replies go, in which
// order, and what is asked of each output, for the group commit, a failed write, the shared
// status and the users' turns.
#include "core_fixtures.h"
#include "manual_service_clock.h"
#include "reply.h"
#include "server.h"
#include "words.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace core_fixtures;
using service::Server;

// A connection that writes down each reply it is given, in the order of all connections'.
struct Member final : service::Connections::Member {
    Member(std::string name, std::vector<std::pair<std::string, service::Line>>& replies)
        : name(std::move(name)), replies(replies) {}
    void reply(service::Line line) override { replies.emplace_back(name, line); }
    void start_watching(service::Line line) override { replies.emplace_back(name, line); }
    void deliver(service::Line) override {}
    void close() override {}
    std::string name;
    std::vector<std::pair<std::string, service::Line>>& replies;
};

// The server with its outputs held until a step completes them.
class Rig {
public:
    Rig()
        : server_(io_, {[this](LedColorCode color, Server::ColorSet on_set) {
                            ++counts_["sets"];
                            led_.emplace_back(color, std::move(on_set));
                        },
                        [this](Server::ReadBack done) {
                            ++counts_["read-backs"];
                            read_backs_.push_back(std::move(done));
                        },
                        [this](std::vector<service::JournalRecord> records, Server::Kept kept) {
                            ++counts_["writes"];
                            writes_.emplace_back(records.size(), std::move(kept));
                        },
                        [this](std::vector<service::BoardChange> changes) {
                            for (const service::BoardChange& change : changes) {
                                board_.apply(change);
                            }
                        },
                        [this](service::Time now, std::optional<LedColorCode> read_back, Server::StatusMade made) {
                            ++counts_["makes"];
                            makes_.emplace_back(service::line_of(protocol::ok_reply(board_.payload(now, read_back))),
                                                std::move(made));
                        }}) {
        manual_service_clock::set(now_);
        server_.start([] {});
        complete_led(std::nullopt);
        counts_.clear();
    }

    // One step of a case's script; false, with why, when what it expects is not so.
    bool take(const std::string& step, std::string& why) {
        const auto starts = [&step](const std::string& start) { return step.rfind(start, 0) == 0; };
        const std::size_t replying = step.find(" replying ");
        const std::size_t equals = step.find(" = ");
        if (replying != std::string::npos) {
            // A connection of the user's writing a reply of that many bytes.
            server_.replying(client_of(step.substr(0, replying)).owner.id, std::stoul(step.substr(replying + 10)));
        } else if (starts("refuse ")) {
            server_.refuse_requests(step.substr(7));
        } else if (starts("state file: ")) {
            // What a start writes as the new state file, by name, in its order.
            std::string names;
            for (const service::JournalRecord& record : server_.records_in_force()) {
                names += (names.empty() ? "" : " ") + record.key.first;
            }
            if (names != step.substr(12)) {
                why = "the state file holds " + names;
                return false;
            }
        } else if (starts("+")) {
            now_ += std::chrono::milliseconds(std::stoi(step.substr(1)));
            manual_service_clock::set(now_);
        } else if (step == "led" || starts("led reads ")) {
            complete_led(step == "led" ? std::nullopt : std::optional<LedColorCode>(color(step.substr(10))));
        } else if (step == "written" || step == "not written") {
            if (writes_.empty()) {
                why = "no write is under way";
                return false;
            }
            const Server::Kept kept = std::move(writes_.front().second);
            writes_.pop_front();
            kept(step == "written" ? "" : "No space left on device");
        } else if (starts("read back ")) {
            for (const Server::ReadBack& done : std::exchange(read_backs_, {})) {
                done(color(step.substr(10)));
            }
        } else if (step == "made") {
            for (auto& [line, made] : std::exchange(makes_, {})) {
                made(line);
            }
        } else if (equals != std::string::npos) {
            const std::string counted = step.substr(0, equals);
            if (counts_[counted] != std::stoi(step.substr(equals + 3))) {
                why = counted + " = " + std::to_string(counts_[counted]);
                return false;
            }
        } else if (step[0] == '=') {
            const std::string replies = replies_since_last();
            if (replies != step.substr(1)) {
                why = "the replies were" + replies;
                return false;
            }
        } else {
            // Lines sent together, "a: set red & b: get", and only then answered.
            std::istringstream lines(step);
            for (std::string line; std::getline(lines, line, '&');) {
                const std::size_t colon = line.find(':');
                const std::string name = trimmed(line.substr(0, colon));
                server_.answer({false, trimmed(line.substr(colon + 1))}, client_of(name), member(name));
            }
        }
        io_.restart();
        io_.poll();
        return true;
    }

    std::map<std::string, int>& counts() { return counts_; }

private:
    static std::string trimmed(const std::string& text) {
        const std::size_t first = text.find_first_not_of(' ');
        return text.substr(first, text.find_last_not_of(' ') - first + 1);
    }
    static LedColorCode color(const std::string& name) { return protocol::color_from_name(name).value(); }
    // "a" and "a2" are two connections of alice's, "b" is bob's.
    static service::Client client_of(const std::string& name) {
        return {name[0] == 'a' ? alice : bob, false, name};
    }
    std::shared_ptr<Member> member(const std::string& name) {
        std::shared_ptr<Member>& found = members_[name];
        if (!found) {
            found = std::make_shared<Member>(name, replies_);
        }
        return found;
    }
    void complete_led(std::optional<LedColorCode> reads) {
        for (auto& [set, on_set] : std::exchange(led_, {})) {
            if (on_set) {
                on_set(set, reads.value_or(set));
            }
        }
        io_.restart();
        io_.poll();
    }
    // " a: ok | b: status#1 red": each status reply by the text it shares, and what it read back.
    std::string replies_since_last() {
        std::string said;
        for (const auto& [name, line] : std::exchange(replies_, {})) {
            std::string text = line->substr(0, line->size() - 1);
            if (text.rfind("ok {", 0) == 0) {
                const auto known = status_texts_.emplace(line.get(), status_texts_.size() + 1).first;
                const std::size_t read_back = text.find("\"read_back\":") + 12;
                const std::string value = text.substr(read_back, text.find(',', read_back) - read_back);
                text = "status#" + std::to_string(known->second) + " " +
                       (value == "null" ? value : value.substr(1, value.size() - 2));
            }
            said += (said.empty() ? " " : " | ") + name + ": " + text;
        }
        return said;
    }

    asio::io_context io_;
    service::Time now_ = t0;
    Server server_;
    service::StatusBoard board_;
    std::vector<std::pair<LedColorCode, Server::ColorSet>> led_;
    std::vector<Server::ReadBack> read_backs_;
    std::deque<std::pair<std::size_t, Server::Kept>> writes_;
    std::vector<std::pair<service::Line, Server::StatusMade>> makes_;
    std::map<std::string, int> counts_;
    std::map<std::string, std::shared_ptr<Member>> members_;
    std::vector<std::pair<std::string, service::Line>> replies_;
    std::map<const std::string*, std::size_t> status_texts_;
};

const char* const kUnkept =
    "error set the state file cannot be written (No space left on device): what was asked is in force, but would "
    "not outlive a restart";

TEST(ServerTest, RepliesGoOnlyWhenTheirTurnTheLedAndTheJournalSaySo) {
    struct Case {
        const char* name;
        std::vector<std::string> steps;
    };
    const Case cases[] = {
        {"a change is answered once the LED shows it and a write holding it is done, in either order",
         {"a: set red", "=", "sets = 1", "writes = 1", "led", "=", "written", "= a: ok",
          "b: set blue", "written", "=", "led", "= b: ok", "sets = 2", "writes = 2"}},
        {"one LED write per change, also of the colour shown", {"a: set red", "led", "a2: set red name=x", "sets = 2"}},
        {"changes made while the LED is set wait for the next, which sets the latest",
         {"a: set red", "b: set blue & a2: set green", "sets = 1", "written", "written", "led", "= a: ok", "sets = 2",
          "led", "= b: ok | a2: ok", "sets = 2"}},
        {"changes made during a write wait for the next, which holds them all",
         {"a: set red", "b: set blue", "a2: clear", "writes = 1", "led", "written", "= a: ok", "writes = 2", "led",
          "=", "written", "= b: ok | a2: ok", "writes = 2"}},
        {"a failed write fails only its own changes, and the next goes on",
         {"a: set red", "b: set blue", "led", "not written", std::string("= a: ") + kUnkept, "written", "led",
          "= b: ok"}},
        {"the LED not taking a change is an error, whatever the write",
         {"a: set red", "led reads blue", "written",
          "= a: error set the LED did not take it: it reads back blue, not red; what was asked stays in force"}},
        {"an expiry or a count run out writes nothing, and sets the LED once",
         {"a: set red for=10", "led", "written", "= a: ok", "+10ms", "sets = 2", "writes = 1", "b: get",
          "= b: ok off"}},
        {"each user's lines take turns with every other user's, whatever their connections",
         {"a: get & a2: get & a: get & b: get", "= a: ok off | b: ok off | a2: ok off | a: ok off"}},
        {"a user whose replies took all the bytes allowed at once takes turns",
         {"a replying 1048576", "a: get & b: get", "= a: ok off | b: ok off"}},
        {"a user past them waits until they are allowed again; the others do not",
         {"a replying 1048577", "a: get & b: get & a2: get", "= b: ok off", "+1ms", "= a: ok off | a2: ok off"}},
        {"bytes are allowed again at 32 MiB a second",
         {"a replying 1048576", "a replying 33554432", "+999ms", "a: get & b: get", "= b: ok off", "+1ms",
          "= a: ok off"}},
        {"a user quiet for long is allowed no more than the bytes allowed at once",
         {"a replying 0", "+10000ms", "a replying 1048577", "a: get & b: get", "= b: ok off", "+1ms", "= a: ok off"}},
        {"while the LED cannot be driven, each line is refused naming its command",
         {"refuse the LED cannot be driven yet", "a: set red & b: get", "= a: error set the LED cannot be driven yet | "
          "b: error get the LED cannot be driven yet", "sets = 0", "writes = 0"}},
        {"a new state file holds what is in force in the order it was set, whatever its owners",
         {"b: set green name=x", "a: set red name=y & b: set blue name=z", "state file: x y z"}},
        {"a status is made once the LED is read back, and shared while nothing changes within the spacing",
         {"a: status", "=", "read-backs = 1", "read back red", "makes = 1", "made", "= a: status#1 red", "+10ms",
          "b: status & a2: status", "= b: status#1 red | a2: status#1 red", "makes = 1", "read-backs = 1"}},
        {"a status past the spacing reads the LED back again: another program's write shows",
         {"a: status", "read back red", "made", "= a: status#1 red", "+11ms", "b: status", "=", "read-backs = 2",
          "read back blue", "made", "= b: status#2 blue"}},
        {"a change since the last status makes a new one, with a read-back still fresh enough",
         {"a: status", "read back red", "made", "= a: status#1 red", "+5ms", "b: set blue", "led", "written", "= b: ok",
          "a2: status", "=", "read-backs = 1", "made", "= a2: status#2 red", "makes = 2"}},
        {"a status asked while one is made waits for a read-back of its own time, not an older one",
         {"a: status", "+20ms", "b: status", "read back red", "=", "makes = 1", "made", "= a: status#1 red",
          "read-backs = 2", "read back green", "made", "= b: status#2 green"}},
        {"a LED that cannot be read back in time gives a status with read_back null",
         {"a: status", "+249ms", "=", "+1ms", "made", "= a: status#1 null"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        for (const std::string& step : c.steps) {
            std::string why;
            ASSERT_TRUE(rig.take(step, why)) << step << ": " << why;
        }
    }
}

}  // namespace
