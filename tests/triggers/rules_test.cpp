// The rules file as a person writes it: every mistake said with its line, the bounds of each value
// exactly at them and one past, and what a good file's rules ask of the service. And the decisions
// on them: results in a row, and when a rule in force is set again.
#include "rules.h"
#include "streak.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using triggers::Milliseconds;

const std::string kWeb = "[rule.web]\nwhen.tcp_refused = \"127.0.0.1:8080\"\nshow = \"red\"\n";

// A file of one rule, web, with `more` added to it (from line 4 on).
std::string web_with(const std::string& more) {
    return kWeb + more;
}

std::vector<std::string> mistakes_of(const std::string& text) {
    std::vector<std::string> errors;
    const auto rules = triggers::read_rules(text, errors);
    EXPECT_EQ(rules.has_value(), errors.empty());
    return errors;
}

std::vector<triggers::Rule> rules_of(const std::string& text) {
    std::vector<std::string> errors;
    auto rules = triggers::read_rules(text, errors);
    EXPECT_TRUE(errors.empty()) << errors.front();
    return rules.value_or(std::vector<triggers::Rule>());
}

TEST(RulesFileTest, EachMistakeIsSaidWithItsLine) {
    struct Case {
        std::string text;
        std::string said;  // "LINE: ..." that the one error starts with and holds
    };
    const std::string many_steps = "pattern" + [] {
        std::string steps;
        for (int step = 0; step < 70; ++step) {
            steps += " purple:3600000";
        }
        return steps;
    }();
    std::string too_many_rules;
    for (int rule = 0; rule <= 256; ++rule) {
        too_many_rules += "[rule.r" + std::to_string(rule) + "]\nwhen.always = true\nshow = \"red\"\n";
    }
    const Case cases[] = {
        {"[rules.web]\n" + kWeb, "1: unknown key \"rules\" in the file"},
        {"", "1: no rules"},
        {"[defaults]\nevery = \"5s\"\n", "1: no rules"},
        {"[defaults]\nevry = \"5s\"\n" + kWeb, "2: unknown key \"evry\" in [defaults]"},
        {web_with("colour = \"red\"\n"), "4: unknown key \"colour\" in rule.web"},
        {web_with("[rule.web]\nshow = \"blue\"\n"), "4: "},  // the same name twice: TOML's own error
        {"[rule.web]\nwhen.tcp_refused = \"127.0.0.1:80\"\nwhen.always = true\nshow = \"red\"\n",
         "2: rule.web takes exactly one condition"},
        {"[rule.web]\nshow = \"red\"\n", "1: rule.web needs one condition"},
        {"[rule.web]\nwhen.port_closed = 80\nshow = \"red\"\n", "2: unknown key \"port_closed\" in rule.web.when"},
        {"[rule.web]\nwhen.always = true\n", "1: rule.web needs show"},
        {"[rule.web]\nwhen.always = true\nshow = \"pink\"\n", "3: rule.web.show \"pink\": unknown colour \"pink\""},
        {"[rule.web]\nwhen.always = true\nshow = \"blink red 0\"\n",
         "3: rule.web.show \"blink red 0\": blink on time \"0\""},
        {"[rule.web]\nwhen.always = true\nshow = \"pattern red:3600001\"\n",
         "3: rule.web.show \"pattern red:3600001\": pattern step time"},
        {"[rule.web]\nwhen.always = true\nshow = \"" + many_steps + "\"\n",
         "3: rule.web.show is longer than a request line holds"},
        {web_with("priority = \"high\"\n"), "4: rule.web.priority is a string, not a whole number"},
        {web_with("priority = 256\n"), "4: rule.web.priority 256 is not a whole number from 0 to 255"},
        {web_with("priority = -1\n"), "4: rule.web.priority -1 is not"},
        {web_with("every = \"99ms\"\n"), "4: rule.web.every \"99ms\" is not from 100 ms to 24 d"},
        {web_with("every = \"25d\"\n"), "4: rule.web.every \"25d\" is not from 100 ms to 24 d"},
        {web_with("every = \"5 s\"\n"), "4: rule.web.every \"5 s\" is not a duration"},
        {web_with("every = 5\n"), "4: rule.web.every is a whole number, not a string"},
        {web_with("every = \"1s\"\ntimeout = \"1001ms\"\n"),
         "5: rule.web: the timeout (1001 ms) is longer than the interval"},
        {web_with("after = 0\n"), "4: rule.web.after 0 is not a whole number from 1 to 1000"},
        {web_with("after = 1001\n"), "4: rule.web.after 1001 is not"},
        {"[rule.\"web site\"]\nwhen.always = true\nshow = \"red\"\n", "1: the rule's name \"web site\" is not 1 to 64"},
        {"[rule." + std::string(65, 'n') + "]\nwhen.always = true\nshow = \"red\"\n", "1: the rule's name"},
        {"[rule.web]\nwhen.tcp_refused = \"localhost\"\nshow = \"red\"\n",
         "2: rule.web.when.tcp_refused \"localhost\" is not HOST:PORT"},
        {"[rule.web]\nwhen.tcp_refused = \"localhost:65536\"\nshow = \"red\"\n", "2: rule.web.when.tcp_refused"},
        {"[rule.web]\nwhen.tcp_refused = \"::1:80\"\nshow = \"red\"\n", "2: rule.web.when.tcp_refused"},
        {"[rule.web]\nwhen.http_failing = \"ftp://host/\"\nshow = \"red\"\n",
         "2: rule.web.when.http_failing \"ftp://host/\" is not"},
        {"[rule.web]\nwhen.command_fails = []\nshow = \"red\"\n", "2: rule.web.when.command_fails is empty"},
        {"[rule.web]\nwhen.command_fails = \"check --all\"\nshow = \"red\"\n",
         "2: rule.web.when.command_fails is a string, not a list"},
        {"[rule.web]\nwhen.command_fails = [\"check\", 1]\nshow = \"red\"\n",
         "2: rule.web.when.command_fails[1] is a whole number"},
        {"[rule.web]\nwhen.service_stopped = \"/usr/sbin/apache2\"\nshow = \"red\"\n",
         "2: rule.web.when.service_stopped \"/usr/sbin/apache2\" is a path"},
        {"[rule.disk]\nwhen.disk_free_below = { path = \"/\", percent = 10, bytes = 5 }\nshow = \"red\"\n",
         "2: rule.disk.when.disk_free_below takes either percent or bytes"},
        {"[rule.disk]\nwhen.disk_free_below = { path = \"/\", percent = 100 }\nshow = \"red\"\n",
         "2: rule.disk.when.disk_free_below.percent is not a percentage above 0 and below 100"},
        {"[rule.disk]\nwhen.disk_free_below = { path = \"/\", bytes = 0 }\nshow = \"red\"\n",
         "2: rule.disk.when.disk_free_below.bytes 0"},
        {"[rule.disk]\nwhen.disk_free_below = { percent = 10 }\nshow = \"red\"\n",
         "2: rule.disk.when.disk_free_below needs path"},
        {"[rule.beat]\nwhen.file_older_than = { path = \"/run/stamp\" }\nshow = \"red\"\n",
         "2: rule.beat.when.file_older_than needs age"},
        {"[rule.beat]\nwhen.file_older_than = { path = \"/run/stamp\", age = \"999ms\" }\nshow = \"red\"\n",
         "2: rule.beat.when.file_older_than.age \"999ms\" is not from 1 s"},
        {"[rule.cpu]\nwhen.cpu_above = { percent = 90, for = \"1 minute\" }\nshow = \"red\"\n",
         "2: rule.cpu.when.cpu_above.for \"1 minute\""},
        {"[rule.cpu]\nwhen.memory_above = 90\nshow = \"red\"\n",
         "2: rule.cpu.when.memory_above is a whole number, not a table"},
        {"[rule.beat]\nwhen.always = false\nshow = \"red\"\n",
         "2: rule.beat.when.always is false; it can only be true"},
        {"[rule.web]\nwhen.tcp_refused = \"127.0.0.1:80\nshow = \"red\"\n", "2: "},  // TOML's own error
        {too_many_rules, "1: 257 rules: the LED service holds at most 256"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> errors = mistakes_of(c.text);
        ASSERT_EQ(errors.size(), 1U) << c.text << (errors.empty() ? "(no error)" : errors.back());
        const std::string line = c.said.substr(0, c.said.find(' ') + 1);
        EXPECT_EQ(errors[0].rfind(line, 0), 0U) << errors[0];
        EXPECT_NE(errors[0].find(c.said.substr(line.size())), std::string::npos) << errors[0];
    }
}

TEST(RulesFileTest, EveryMistakeOfAFileIsSaidInTheFilesOrder) {
    const std::vector<std::string> errors = mistakes_of(
        "[rule.b]\nwhen.always = true\nshow = \"pink\"\n"
        "[rule.a]\nwhen.always = true\nshow = \"red\"\npriority = 300\n");
    ASSERT_EQ(errors.size(), 2U);
    EXPECT_EQ(errors[0].rfind("3: ", 0), 0U) << errors[0];
    EXPECT_EQ(errors[1].rfind("7: ", 0), 0U) << errors[1];
}

TEST(RulesFileTest, TheBoundsThemselvesAreTaken) {
    const std::string pattern_of_steps = "pattern" + [] {
        std::string steps;
        for (int step = 0; step < 4; ++step) {
            steps += " white:3600000";
        }
        return steps;
    }();
    for (const char* more : {"priority = 0\n", "priority = 255\n", "every = \"100ms\"\ntimeout = \"100ms\"\n",
                                    "every = \"24d\"\n", "after = 1\n", "after = 1000\n"}) {
        EXPECT_EQ(rules_of(web_with(more)).size(), 1U) << more;
    }
    EXPECT_EQ(rules_of("[rule.w]\nwhen.always = true\nshow = \"blink red 3600000 1\"\n").size(), 1U);
    const std::string longest_name = "[rule." + std::string(64, 'n') + "]\n";
    EXPECT_EQ(rules_of(longest_name + "when.always = true\nshow = \"" + pattern_of_steps + "\"\n").size(), 1U);
}

TEST(RulesFileTest, AGoodFileAsksForWhatItSays) {
    const std::vector<triggers::Rule> rules = rules_of(R"(
[defaults]
every = "5s"
timeout = "2s"
after = 2

[rule.web]
when.tcp_refused = "[::1]:8080"
show = "red"
priority = 200
every = "1s"

[rule.backup]
when.file_older_than = { path = "/var/lib/backup/stamp", age = "26h" }
show = "blink yellow 500 500"

[rule.disk]
when.disk_free_below = { path = "/", bytes = 1073741824 }
show = "pattern RED:100 off:100"
after = 3

[rule.load]
when.cpu_above = { percent = 92.5, for = "1m" }
show = "purple"

[rule.check]
when.command_fails = ["/usr/lib/check", "--quiet", ""]
show = "white"
)");
    ASSERT_EQ(rules.size(), 5U);
    const triggers::Rule& web = rules[0];
    EXPECT_EQ(web.name, "web");
    EXPECT_EQ(protocol::format_request(web.show), "set red name=web priority=200");
    EXPECT_EQ(web.every, Milliseconds(1000));
    EXPECT_EQ(web.timeout, Milliseconds(1000));  // the default's 2 s, within its own interval
    const auto& tcp = std::get<triggers::TcpRefused>(web.when);
    EXPECT_EQ(tcp.host + " " + tcp.port, "::1 8080");
    const triggers::Rule& backup = rules[1];
    EXPECT_EQ(protocol::format_request(backup.show), "blink yellow 500 500 name=backup priority=100");
    EXPECT_EQ(backup.every, Milliseconds(5000));
    EXPECT_EQ(backup.after, 2U);
    EXPECT_EQ(std::get<triggers::FileOlderThan>(backup.when).age, Milliseconds(26LL * 3600 * 1000));
    EXPECT_EQ(protocol::format_request(rules[2].show), "pattern red:100 off:100 name=disk priority=100");
    EXPECT_EQ(*std::get<triggers::DiskFreeBelow>(rules[2].when).bytes, 1073741824U);
    EXPECT_EQ(rules[2].after, 3U);
    const auto& load = std::get<triggers::UseAbove>(rules[3].when);
    EXPECT_EQ(load.percent, 92.5);
    EXPECT_EQ(load.sustained, Milliseconds(60000));
    EXPECT_EQ(std::get<triggers::CommandFails>(rules[4].when).arguments,
              (std::vector<std::string>{"/usr/lib/check", "--quiet", ""}));
}

TEST(RulesFileTest, ARuleIsTheSameRuleOnlyWhenNothingOfItChanged) {
    const std::string before = "[defaults]\nevery = \"5s\"\n" + kWeb;
    const auto definition = [](const std::string& text) { return rules_of(text).at(0).definition; };
    EXPECT_EQ(definition(before), definition("# a comment\n" + before));
    EXPECT_EQ(definition(before), definition("[rule.web]\nshow = \"RED\"\nwhen = { tcp_refused = \"127.0.0.1:8080\" }\n"
                                             "every = \"5s\"\n"));
    const std::vector<std::string> changes = {
        "[defaults]\nevery = \"6s\"\n" + kWeb,
        web_with("priority = 101\n"),
        web_with("after = 3\n"),
        "[rule.web]\nwhen.tcp_refused = \"127.0.0.1:8081\"\nshow = \"red\"\n",
        "[rule.web]\nwhen.tcp_refused = \"127.0.0.1:8080\"\nshow = \"blink red\"\n",
    };
    for (const std::string& changed : changes) {
        EXPECT_NE(definition(before), definition(changed)) << changed;
    }
}

TEST(StreakTest, AVerdictChangesOnlyAfterItsResultsInARow) {
    struct Case {
        unsigned after;
        std::vector<bool> results;
        std::string verdicts;  // after each result: '-' none, 'H' now holds, 'C' now clear
    };
    const Case cases[] = {
        {1, {true, true, false, true}, "H-CH"},
        {2, {true, true, true}, "-H-"},
        {2, {false, false}, "-C"},
        {2, {true, false, true, false, false, true}, "----C-"},  // the first verdict needs its row too
        {2, {true, true, false, true, false, false}, "-H---C"},  // one slow answer does not flap it
        {3, {true, true, true, false, false, true, false, false, false}, "--H-----C"},
    };
    for (const Case& c : cases) {
        triggers::Streak streak(c.after);
        std::string verdicts;
        for (const bool holds : c.results) {
            const std::optional<bool> verdict = streak.take(holds);
            verdicts += !verdict ? '-' : *verdict ? 'H' : 'C';
        }
        EXPECT_EQ(verdicts, c.verdicts) << "after " << c.after;
    }
}

TEST(RenewalTest, ARuleInForceIsSetAgainWithinItsExpiryAndOnAWholeCycle) {
    struct Case {
        std::string every;
        std::string show;
        Milliseconds renewal;
        Milliseconds expiry;
    };
    const Case cases[] = {
        {"1s", "red", Milliseconds(1000), Milliseconds(3000)},
        {"2s", "red", Milliseconds(2000), Milliseconds(4000)},
        {"5s", "blink red 500 500", Milliseconds(5000), Milliseconds(10000)},
        {"5s", "pattern red:300 off:400", Milliseconds(4900), Milliseconds(10000)},
        {"1s", "pattern red:1000", Milliseconds(1000), Milliseconds(3000)},
        {"1s", "pattern red:1001", Milliseconds(1000), Milliseconds(3000)},  // it starts again at each renewal
        {"30s", "red", Milliseconds(30000), Milliseconds(60000)},
        {"31s", "red", Milliseconds(31000), Milliseconds(61000)},
        {"1h", "red", Milliseconds(3600000), Milliseconds(3630000)},
    };
    for (const Case& c : cases) {
        const triggers::Rule rule =
            rules_of("[rule.w]\nwhen.always = true\nshow = \"" + c.show + "\"\nevery = \"" + c.every +
                     "\"\ntimeout = \"1s\"\n")
                .at(0);
        EXPECT_EQ(triggers::renewal_period(rule), c.renewal) << c.every << " " << c.show;
        EXPECT_EQ(triggers::expiry(rule), c.expiry) << c.every << " " << c.show;
    }
}

}  // namespace
