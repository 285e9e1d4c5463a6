// When the bridge tries its broker again: waits that double up to their longest, start again only
// after a connection stayed up, and a takeover (the broker closing connections it just accepted)
// said once.
#include "reconnecting.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bridge::Reconnecting;
using Time = Reconnecting::Time;

// A step: `failed`, or a connection accepted at `at` seconds and ended `up` seconds later, closed
// by the broker or not. Each gives its wait, and whether the takeover is news, as "Ns" or "Ns taken over".
struct Step {
    bool failed;
    int at = 0;
    int up = 0;
    bool closed_by_broker = false;
};

std::vector<std::string> waits(const std::vector<Step>& steps) {
    Reconnecting reconnecting;
    std::vector<std::string> said;
    for (const Step& step : steps) {
        if (step.failed) {
            said.push_back(std::to_string(reconnecting.failed().count()) + "s");
            continue;
        }
        const Time accepted = Time() + std::chrono::seconds(step.at);
        reconnecting.accepted(accepted);
        const auto wait = reconnecting.ended(accepted + std::chrono::seconds(step.up), step.closed_by_broker);
        said.push_back(std::to_string(wait.count()) + "s" + (reconnecting.taken_over_news() ? " taken over" : ""));
    }
    return said;
}

TEST(ReconnectingTest, WaitsDoubleAndStartAgainOnlyAfterAConnectionStayedUp) {
    const Step failed{true};
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::vector<std::string> waits;
    };
    const Case cases[] = {
        {"failures double up to 30 s",
         {failed, failed, failed, failed, failed, failed, failed},
         {"1s", "2s", "4s", "8s", "16s", "30s", "30s"}},
        {"a connection up 29 s does not start them again",
         {failed, failed, {false, 100, 29}, failed},
         {"1s", "2s", "4s", "8s"}},
        {"one up 30 s does", {failed, failed, failed, {false, 100, 30}, failed}, {"1s", "2s", "4s", "1s", "2s"}},
        {"nor does one the broker accepted and closed at once",
         {failed, failed, {false, 100, 0, true}, {false, 200, 1, false}},
         {"1s", "2s", "4s", "8s"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(waits(c.steps), c.waits) << c.what;
    }
}

TEST(ReconnectingTest, ATakeoverIsSaidOnceUntilAConnectionStaysUp) {
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::vector<std::string> waits;
    };
    const Case cases[] = {
        {"two in a row closed by the broker before they stayed up: said once, and backed off",
         {{false, 0, 1, true}, {false, 10, 2, true}, {false, 20, 1, true}, {false, 30, 1, true}},
         {"1s", "2s taken over", "4s", "8s"}},
        {"closed by the broker once, then lost otherwise: no takeover",
         {{false, 0, 1, true}, {false, 10, 1, false}, {false, 20, 1, true}},
         {"1s", "2s", "4s"}},
        {"a connection that stayed up ends the takeover; another is said again",
         {{false, 0, 1, true},
          {false, 10, 1, true},
          {false, 20, 40, true},
          {false, 100, 1, true},
          {false, 110, 1, true}},
         {"1s", "2s taken over", "1s", "2s", "4s taken over"}},
        {"connections closed after they stayed up are a broker's restarts, not a takeover",
         {{false, 0, 40, true}, {false, 100, 40, true}, {false, 200, 40, true}},
         {"1s", "1s", "1s"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(waits(c.steps), c.waits) << c.what;
    }
}

}  // namespace
