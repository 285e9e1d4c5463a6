// The rules file (docs/triggers.md): which condition of the machine shows which indication. Read
// whole and checked at once, every mistake said with its line, before anything is set.
#pragma once

#include "request.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace triggers {

using Milliseconds = std::chrono::milliseconds;

// Each condition holds while what it names is wrong: that is when its rule's indication shows.
struct ServiceStopped {
    std::string service;  // a systemd unit, or a Windows service's name
};
struct ProcessMissing {
    std::string process;
};
struct DiskFreeBelow {
    std::string path;
    std::optional<double> percent;  // of the volume's size; or
    std::optional<std::uint64_t> bytes;
};
struct TcpRefused {
    std::string host;
    std::string port;
};
struct HttpFailing {
    std::string url;
};
struct CommandFails {
    std::vector<std::string> arguments;  // the program, then its arguments
};
struct FileOlderThan {
    std::string path;
    Milliseconds age;
};
enum class Resource { cpu, memory };
struct UseAbove {
    Resource resource;
    double percent;
    Milliseconds sustained;  // for at least this long
};
struct Always {};
using Condition = std::variant<ServiceStopped, ProcessMissing, DiskFreeBelow, TcpRefused, HttpFailing, CommandFails,
                               FileOlderThan, UseAbove, Always>;

struct Rule {
    std::string name;  // the indication's name
    Condition when;
    protocol::Request show;  // set, blink or pattern under the rule's name and priority; no expiry
    Milliseconds every;      // how often it is checked
    Milliseconds timeout;    // how long one check may take
    unsigned after;          // results in a row before a change shows
    // The rule as written, with the defaults it takes: two rules are the same rule when these are
    // equal, so a reload keeps what an unchanged rule shows.
    std::string definition;
};

// The rules a file's text holds, in the file's order; none when it has mistakes, each in `errors`
// as "LINE: what is wrong".
std::optional<std::vector<Rule>> read_rules(std::string_view text, std::vector<std::string>& errors);

// "500ms", "5s", "2m", "26h", "7d": a whole number and its unit.
std::optional<Milliseconds> parse_duration(std::string_view text);
// A duration as a person writes it: "1 s", "26 h", "1500 ms".
std::string duration_words(Milliseconds duration);

// How often a rule in force is set again, and the expiry each set carries: the expiry is a little
// longer than the interval, so that a triggers program that dies or hangs leaves nothing standing
// for long; the renewals come once per interval, at a whole number of the show's cycles when one
// fits, so that a blink or a pattern runs on unbroken.
Milliseconds renewal_period(const Rule& rule);
Milliseconds expiry(const Rule& rule);

}  // namespace triggers
