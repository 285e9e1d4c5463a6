// What a user can make the service log over and over: each user's first lines of a minute, then a
// count of those left out, said with that user's next line; another user's lines go on meanwhile.
#include "line_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(RationedLogTest, EachUsersFirstLinesOfAMinuteThenACount) {
    struct Case {
        const char* name;
        int alice_lines;       // at the start, then bob's one
        std::chrono::seconds later;  // when alice's next line comes
        std::vector<std::string> logged_last;  // the last lines written
        std::size_t logged;    // lines written in all
    };
    const Case cases[] = {
        {"as many as a minute allows", 9, 1s, {"bob 0", "alice 9"}, 11},
        {"one more is left out, to the end of the minute", 10, 59s, {"alice 9", "bob 0"}, 11},
        {"a minute on, the count comes before the next line", 25, 60s,
         {"bob 0", "15 more lines about alice were left out, at most 10 a minute", "alice 25"}, 13},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> written;
        program_support::log_to([&written](const std::string& line) { written.push_back(line); });
        program_support::RationedLog log;
        const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
        for (int line = 0; line < c.alice_lines; ++line) {
            log.log("alice", "alice " + std::to_string(line), t0);
        }
        log.log("bob", "bob 0", t0 + 1s);
        log.log("alice", "alice " + std::to_string(c.alice_lines), t0 + c.later);
        ASSERT_GE(written.size(), c.logged_last.size());
        EXPECT_EQ(std::vector<std::string>(written.end() - static_cast<long>(c.logged_last.size()), written.end()),
                  c.logged_last);
        EXPECT_EQ(written.size(), c.logged);
    }
    program_support::log_to([](const std::string&) {});
}

}  // namespace
