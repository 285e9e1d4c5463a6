#include "rules.h"

#include "protocol_limits.h"
#include "words.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <sstream>
#include <utility>
#include <variant>

namespace triggers {
namespace {

constexpr Milliseconds kDefaultEvery{5000};
constexpr Milliseconds kDefaultTimeout{2000};
constexpr unsigned kDefaultAfter = 2;
constexpr Milliseconds kLeastEvery{100};
// The expiry a set carries: the interval and as long again, at least kLeastMargin and at most
// kMostMargin more, all within the protocol's for=.
constexpr Milliseconds kLeastMargin{2000};
constexpr Milliseconds kMostMargin{30000};
constexpr Milliseconds kMostEvery{24LL * 24 * 3600 * 1000};
constexpr unsigned kMostAfter = 1000;
// Ten years: anything longer is a typing mistake, and still fits every clock.
constexpr Milliseconds kMostDuration{3650LL * 24 * 3600 * 1000};
constexpr std::size_t kMostCommandBytes = std::size_t{32} * 1024;

static_assert(kMostEvery.count() + kMostMargin.count() <= protocol::kMaxForMs,
              "every expiry must be a for= the protocol takes");

const char* type_of(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::table:
            return "a table";
        case toml::node_type::array:
            return "an array";
        case toml::node_type::string:
            return "a string";
        case toml::node_type::integer:
            return "a whole number";
        case toml::node_type::floating_point:
            return "a number";
        case toml::node_type::boolean:
            return "true or false";
        default:
            return "a date or time";
    }
}

// A condition in one line of text, whichever way the file wrote it.
struct Definition {
    std::string operator()(const ServiceStopped& c) const { return "service_stopped " + c.service; }
    std::string operator()(const ProcessMissing& c) const { return "process_missing " + c.process; }
    std::string operator()(const DiskFreeBelow& c) const {
        return "disk_free_below " + c.path +
               (c.percent ? " " + std::to_string(*c.percent) + "%" : " " + std::to_string(*c.bytes));
    }
    std::string operator()(const TcpRefused& c) const { return "tcp_refused " + c.host + " " + c.port; }
    std::string operator()(const HttpFailing& c) const { return "http_failing " + c.url; }
    std::string operator()(const CommandFails& c) const {
        std::string text = "command_fails";
        for (const std::string& argument : c.arguments) {
            text += " " + std::to_string(argument.size()) + ":" + argument;
        }
        return text;
    }
    std::string operator()(const FileOlderThan& c) const {
        return "file_older_than " + std::to_string(c.age.count()) + " " + c.path;
    }
    std::string operator()(const UseAbove& c) const {
        return (c.resource == Resource::cpu ? "cpu_above " : "memory_above ") + std::to_string(c.percent) + " " +
               std::to_string(c.sustained.count());
    }
    std::string operator()(const Always&) const { return "always"; }
};

// Reads one file's rules, gathering every mistake rather than stopping at the first.
class Reader {
public:
    explicit Reader(std::vector<std::pair<std::uint32_t, std::string>>& errors) : errors_(errors) {}

    std::vector<Rule> read(const toml::table& root) {
        for (auto&& [key, node] : root) {
            if (std::string(key.str()) != "defaults" && std::string(key.str()) != "rule") {
                unknown(key, "the file", "[defaults] and [rule.NAME]");
            }
        }
        Settings defaults{kDefaultEvery, kDefaultTimeout, kDefaultAfter};
        if (const toml::table* table = table_at(root, "defaults", "defaults")) {
            for (auto&& [key, node] : *table) {
                if (std::string(key.str()) != "every" && std::string(key.str()) != "timeout" &&
                    std::string(key.str()) != "after") {
                    unknown(key, "[defaults]", "every, timeout and after");
                }
            }
            defaults = settings(*table, "defaults", defaults);
        }
        std::vector<Rule> rules;
        const toml::table* all = table_at(root, "rule", "rule");
        if (all == nullptr || all->empty()) {
            error(all != nullptr ? line_of(*all) : 1, "no rules: a rule is a table [rule.NAME]");
            return rules;
        }
        for (auto&& [key, node] : *all) {
            const std::string where = "rule." + std::string(key.str());
            if (const toml::table* table = node.as_table()) {
                if (std::optional<Rule> rule = read_rule(std::string(key.str()), *table, where, defaults)) {
                    rules.push_back(std::move(*rule));
                    lines_.push_back(line_of(*table));
                }
            } else {
                not_a_table(node, where);
            }
        }
        check_caps(rules, line_of(*all));
        return rules;
    }

    // The rules in the file's order.
    std::vector<Rule> in_file_order(std::vector<Rule> rules) const {
        std::vector<std::size_t> order(rules.size());
        for (std::size_t index = 0; index < order.size(); ++index) {
            order[index] = index;
        }
        std::stable_sort(order.begin(), order.end(),
                         [this](std::size_t a, std::size_t b) { return lines_[a] < lines_[b]; });
        std::vector<Rule> sorted;
        sorted.reserve(order.size());
        for (const std::size_t index : order) {
            sorted.push_back(std::move(rules[index]));
        }
        return sorted;
    }

private:
    struct Settings {
        Milliseconds every;
        Milliseconds timeout;
        unsigned after;
    };

    static std::uint32_t line_of(const toml::node& node) { return node.source().begin.line; }

    void not_a_table(const toml::node& node, const std::string& where) {
        error(line_of(node), where + " is " + type_of(node) + ", not a table [" + where + "]");
    }

    void missing(const toml::table& table, const std::string& where, const std::string& key) {
        error(line_of(table), where + " needs " + key);
    }

    void error(std::uint32_t line, std::string message) { errors_.emplace_back(line, std::move(message)); }

    void unknown(const toml::key& key, const std::string& where, const std::string& known) {
        error(key.source().begin.line,
              "unknown key \"" + std::string(key.str()) + "\" in " + where + "; it takes " + known);
    }

    const toml::table* table_at(const toml::table& parent, const char* key, const std::string& where) {
        const toml::node* node = parent.get(key);
        if (node == nullptr) {
            return nullptr;
        }
        if (node->as_table() == nullptr) {
            error(line_of(*node), where + " is " + type_of(*node) + ", not a table");
        }
        return node->as_table();
    }

    // The string at `node`, or none having said why.
    std::optional<std::string> string_of(const toml::node& node, const std::string& where) {
        if (const auto* text = node.as_string()) {
            if (text->get().empty()) {
                error(line_of(node), where + " is empty");
                return std::nullopt;
            }
            if (text->get().find('\0') != std::string::npos) {
                error(line_of(node), where + " holds a NUL character");
                return std::nullopt;
            }
            return text->get();
        }
        error(line_of(node), where + " is " + type_of(node) + ", not a string");
        return std::nullopt;
    }

    std::optional<Milliseconds> duration_of(const toml::node& node, const std::string& where, Milliseconds least,
                                            Milliseconds most) {
        const std::optional<std::string> text = string_of(node, where);
        if (!text) {
            return std::nullopt;
        }
        const std::optional<Milliseconds> duration = parse_duration(*text);
        if (!duration) {
            error(line_of(node),
                  where + " \"" + *text + "\" is not a duration: a whole number and ms, s, m, h or d, such as \"5s\"");
        } else if (*duration < least || *duration > most) {
            error(line_of(node),
                  where + " \"" + *text + "\" is not from " + duration_words(least) + " to " + duration_words(most));
            return std::nullopt;
        }
        return duration;
    }

    std::optional<double> percent_of(const toml::node& node, const std::string& where) {
        std::optional<double> value;
        if (const auto* whole = node.as_integer()) {
            value = static_cast<double>(whole->get());
        } else if (const auto* fraction = node.as_floating_point()) {
            value = fraction->get();
        } else {
            error(line_of(node), where + " is " + type_of(node) + ", not a number");
            return std::nullopt;
        }
        if (!(*value > 0 && *value < 100)) {
            error(line_of(node), where + " is not a percentage above 0 and below 100");
            return std::nullopt;
        }
        return value;
    }

    std::optional<std::int64_t> whole_of(const toml::node& node, const std::string& where, std::int64_t least,
                                         std::int64_t most) {
        const auto* whole = node.as_integer();
        if (whole == nullptr) {
            error(line_of(node), where + " is " + type_of(node) + ", not a whole number");
            return std::nullopt;
        }
        if (whole->get() < least || whole->get() > most) {
            error(line_of(node), where + " " + std::to_string(whole->get()) + " is not a whole number from " +
                                     std::to_string(least) + " to " + std::to_string(most));
            return std::nullopt;
        }
        return whole->get();
    }

    // every, timeout and after of a table, over those it inherits.
    Settings settings(const toml::table& table, const std::string& where, Settings inherited) {
        Settings chosen = inherited;
        if (const toml::node* node = table.get("every")) {
            chosen.every = duration_of(*node, where + ".every", kLeastEvery, kMostEvery).value_or(inherited.every);
        }
        if (const toml::node* node = table.get("timeout")) {
            chosen.timeout =
                duration_of(*node, where + ".timeout", Milliseconds(1), kMostEvery).value_or(inherited.timeout);
        }
        if (const toml::node* node = table.get("after")) {
            chosen.after =
                static_cast<unsigned>(whole_of(*node, where + ".after", 1, kMostAfter).value_or(inherited.after));
        }
        // A check ends before the next: a timeout taken from [defaults] is shortened to a shorter
        // interval, one written beside it is a mistake.
        if (chosen.timeout > chosen.every && table.get("timeout") != nullptr) {
            error(line_of(*table.get("timeout")),
                  where + ": the timeout (" + duration_words(chosen.timeout) + ") is longer than the interval (every " +
                      duration_words(chosen.every) + "): a check must end before the next");
        }
        chosen.timeout = std::min(chosen.timeout, chosen.every);
        return chosen;
    }

    // A table's keys: each must be one of `known`, and those in `needed` must be there.
    bool keys_are(const toml::table& table, const std::string& where, const std::vector<std::string>& known,
                  const std::vector<std::string>& needed) {
        bool fine = true;
        std::string list;
        for (const std::string& key : known) {
            list += (list.empty() ? "" : ", ") + key;
        }
        for (auto&& [key, node] : table) {
            if (std::find(known.begin(), known.end(), std::string(key.str())) == known.end()) {
                unknown(key, where, list);
                fine = false;
            }
        }
        for (const std::string& key : needed) {
            if (table.get(key) == nullptr) {
                missing(table, where, key);
                fine = false;
            }
        }
        return fine;
    }

    std::optional<Condition> condition(const std::string& kind, const toml::node& node, const std::string& where) {
        const toml::table* table = node.as_table();
        const auto needs_table = [&](const char* shape) {
            if (table == nullptr) {
                error(line_of(node), where + " is " + type_of(node) + ", not a table " + shape);
            }
            return table != nullptr;
        };
        if (kind == "service_stopped" || kind == "process_missing") {
            const std::optional<std::string> name = string_of(node, where);
            if (name && name->find_first_of("/\\") != std::string::npos) {
                error(line_of(node), where + " \"" + *name + "\" is a path; give the " +
                                         (kind == "service_stopped" ? "service's" : "program's") + " name");
                return std::nullopt;
            }
            if (!name) {
                return std::nullopt;
            }
            return kind == "service_stopped" ? Condition{ServiceStopped{*name}} : Condition{ProcessMissing{*name}};
        }
        if (kind == "tcp_refused") {
            return tcp_address(node, where);
        }
        if (kind == "http_failing") {
            const std::optional<std::string> url = string_of(node, where);
            std::string scheme = url ? url->substr(0, url->find("://")) : "";
            std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                           [](char c) { return static_cast<char>(std::tolower(c)); });
            if (url && ((scheme != "http" && scheme != "https") || url->size() <= scheme.size() + 3)) {
                error(line_of(node), where + " \"" + *url + "\" is not an http:// or https:// URL");
                return std::nullopt;
            }
            return url ? std::optional<Condition>(HttpFailing{*url}) : std::nullopt;
        }
        if (kind == "command_fails") {
            return command(node, where);
        }
        if (kind == "file_older_than") {
            if (!needs_table("{ path = \"...\", age = \"26h\" }") ||
                !keys_are(*table, where, {"path", "age"}, {"path", "age"})) {
                return std::nullopt;
            }
            const std::optional<std::string> path = string_of(*table->get("path"), where + ".path");
            const std::optional<Milliseconds> age =
                duration_of(*table->get("age"), where + ".age", Milliseconds(1000), kMostDuration);
            return path && age ? std::optional<Condition>(FileOlderThan{*path, *age}) : std::nullopt;
        }
        if (kind == "disk_free_below") {
            if (!needs_table("{ path = \"...\", percent = 10 }") ||
                !keys_are(*table, where, {"path", "percent", "bytes"}, {"path"})) {
                return std::nullopt;
            }
            if ((table->get("percent") != nullptr) == (table->get("bytes") != nullptr)) {
                error(line_of(*table), where + " takes either percent or bytes");
                return std::nullopt;
            }
            DiskFreeBelow below;
            const std::optional<std::string> path = string_of(*table->get("path"), where + ".path");
            bool fine = path.has_value();
            below.path = path.value_or("");
            if (const toml::node* percent = table->get("percent")) {
                below.percent = percent_of(*percent, where + ".percent");
                fine = fine && below.percent;
            } else {
                const std::optional<std::int64_t> bytes =
                    whole_of(*table->get("bytes"), where + ".bytes", 1, std::numeric_limits<std::int64_t>::max());
                below.bytes = bytes ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(*bytes)) : std::nullopt;
                fine = fine && bytes;
            }
            return fine ? std::optional<Condition>(below) : std::nullopt;
        }
        if (kind == "cpu_above" || kind == "memory_above") {
            if (!needs_table("{ percent = 90, for = \"1m\" }") ||
                !keys_are(*table, where, {"percent", "for"}, {"percent"})) {
                return std::nullopt;
            }
            const std::optional<double> percent = percent_of(*table->get("percent"), where + ".percent");
            std::optional<Milliseconds> sustained = Milliseconds(0);
            if (const toml::node* lasting = table->get("for")) {
                sustained = duration_of(*lasting, where + ".for", Milliseconds(0), kMostEvery);
            }
            if (!percent || !sustained) {
                return std::nullopt;
            }
            return UseAbove{kind == "cpu_above" ? Resource::cpu : Resource::memory, *percent, *sustained};
        }
        if (kind == "always") {
            const auto* always = node.as_boolean();
            if (always == nullptr || !always->get()) {
                error(line_of(node),
                      where + " is " + (always == nullptr ? type_of(node) : "false") + "; it can only be true");
                return std::nullopt;
            }
            return Always{};
        }
        return std::nullopt;
    }

    std::optional<Condition> tcp_address(const toml::node& node, const std::string& where) {
        const std::optional<std::string> address = string_of(node, where);
        if (!address) {
            return std::nullopt;
        }
        const std::size_t colon = address->rfind(':');
        std::string host = colon == std::string::npos ? "" : address->substr(0, colon);
        const std::string port = colon == std::string::npos ? "" : address->substr(colon + 1);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        } else if (host.find(':') != std::string::npos) {
            host.clear();  // an IPv6 address is written in brackets
        }
        const bool port_fine = !port.empty() && port.size() <= 5 &&
                               std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                               std::stoul(port) >= 1 && std::stoul(port) <= 65535;
        if (host.empty() || !port_fine) {
            error(line_of(node), where + " \"" + *address +
                                     "\" is not HOST:PORT (a port from 1 to 65535; an IPv6 address in brackets)");
            return std::nullopt;
        }
        return TcpRefused{host, port};
    }

    std::optional<Condition> command(const toml::node& node, const std::string& where) {
        const toml::array* array = node.as_array();
        if (array == nullptr || array->empty()) {
            error(line_of(node), where + " is " + (array == nullptr ? type_of(node) : "empty") +
                                     ", not a list of the program and its arguments, [\"PROGRAM\", \"ARG\", ...]");
            return std::nullopt;
        }
        CommandFails command;
        std::size_t bytes = 0;
        for (std::size_t index = 0; index < array->size(); ++index) {
            const toml::node& word = *array->get(index);
            const std::string at = where + "[" + std::to_string(index) + "]";
            if (index > 0 && word.is_string() && word.as_string()->get().empty()) {
                command.arguments.emplace_back();  // an empty argument is an argument
                continue;
            }
            const std::optional<std::string> text = string_of(word, at);
            if (!text) {
                return std::nullopt;
            }
            bytes += text->size() + 1;
            command.arguments.push_back(*text);
        }
        if (bytes > kMostCommandBytes) {
            error(line_of(node), where + " is longer than " + std::to_string(kMostCommandBytes) + " bytes");
            return std::nullopt;
        }
        return command;
    }

    // What a rule shows: a colour, "blink COLOUR [ON_MS [OFF_MS]]" or "pattern COLOUR:MS ...", read
    // by the protocol's own rules under the rule's name and priority.
    std::optional<protocol::Request> show(const std::string& name, const toml::table& table, const std::string& where) {
        const toml::node* node = table.get("show");
        if (node == nullptr) {
            error(line_of(table), where +
                                      " needs show: a colour, \"blink COLOUR ON_MS OFF_MS\" or "
                                      "\"pattern COLOUR:MS COLOUR:MS ...\"");
            return std::nullopt;
        }
        const std::optional<std::string> text = string_of(*node, where + ".show");
        if (!text) {
            return std::nullopt;
        }
        std::vector<std::string> words;
        std::istringstream split(*text);
        for (std::string word; split >> word;) {
            words.push_back(word);
        }
        std::string command = "set";
        if (!words.empty() && (words[0] == "blink" || words[0] == "pattern")) {
            command = words[0];
            words.erase(words.begin());
        }
        std::vector<protocol::Option> options{{"name", name}};
        if (const toml::node* given = table.get("priority")) {
            const std::optional<std::int64_t> value = whole_of(*given, where + ".priority", 0, 255);
            if (!value) {
                return std::nullopt;
            }
            options.emplace_back("priority", std::to_string(*value));
        }
        const protocol::Parsed parsed = protocol::parse_words(command, words, options);
        if (!parsed.request) {
            const bool of_name = parsed.option == "name";
            error(of_name ? line_of(table) : line_of(*node),
                  of_name ? "the rule's name \"" + name + "\" is not 1 to " + std::to_string(protocol::kMaxNameBytes) +
                                " letters, digits, '.', '_' or '-' (it names the indication)"
                          : where + ".show \"" + *text +
                                "\": " + (command == "set" && words.size() == 1 ? "" : command + " ") + parsed.error);
            return std::nullopt;
        }
        protocol::Request request = *parsed.request;
        request.for_ms = protocol::kMaxForMs;  // the longest line it will be
        if (protocol::format_request(request).size() > protocol::kMaxLineBytes) {
            error(line_of(*node), where + ".show is longer than a request line holds (" +
                                      std::to_string(protocol::kMaxLineBytes) + " bytes)");
            return std::nullopt;
        }
        request.for_ms.reset();
        return request;
    }

    std::optional<Rule> read_rule(const std::string& name, const toml::table& table, const std::string& where,
                                  const Settings& defaults) {
        const std::size_t mistakes = errors_.size();
        keys_are(table, where, {"when", "show", "priority", "every", "timeout", "after"}, {});
        const Settings chosen = settings(table, where, defaults);
        const std::optional<protocol::Request> shown = show(name, table, where);
        std::optional<Condition> when;
        const toml::node* node = table.get("when");
        const toml::table* conditions = node != nullptr ? node->as_table() : nullptr;
        if (conditions == nullptr || conditions->size() != 1) {
            error(node != nullptr ? line_of(*node) : line_of(table),
                  where + (conditions == nullptr ? " needs" : " takes exactly") + " one condition, when.KIND = ...; " +
                      kConditionList);
        } else {
            const auto only = conditions->begin();
            const std::string kind(only->first.str());
            when = condition(kind, only->second, where + ".when." + kind);
            if (!when && errors_.size() == mistakes) {
                unknown(only->first, where + ".when", kConditionList);
            }
        }
        if (errors_.size() != mistakes || !shown || !when) {
            return std::nullopt;
        }
        const std::string definition = std::visit(Definition{}, *when) + '|' + protocol::format_request(*shown) + '|' +
                                       std::to_string(chosen.every.count()) + '|' +
                                       std::to_string(chosen.timeout.count()) + '|' + std::to_string(chosen.after);
        return Rule{name, *when, *shown, chosen.every, chosen.timeout, chosen.after, definition};
    }

    // What the service holds of one user's: each rule may be in force at once.
    void check_caps(const std::vector<Rule>& rules, std::uint32_t line) {
        if (rules.size() > protocol::kMaxIndicationsPerOwner) {
            error(line, std::to_string(rules.size()) + " rules: the LED service holds at most " +
                            std::to_string(protocol::kMaxIndicationsPerOwner) + " indications of one user's");
        }
        std::size_t steps = 0;
        for (const Rule& rule : rules) {
            steps += rule.show.steps.size();
        }
        if (steps > protocol::kMaxStepsPerOwner) {
            error(line, "the rules show " + std::to_string(steps) + " steps in all: the LED service holds at most " +
                            std::to_string(protocol::kMaxStepsPerOwner) +
                            " steps of one user's (a colour is one, a blink two)");
        }
    }

    static constexpr const char* kConditionList =
        "one of service_stopped, process_missing, disk_free_below, tcp_refused, http_failing, command_fails, "
        "file_older_than, cpu_above, memory_above, always";

    std::vector<std::pair<std::uint32_t, std::string>>& errors_;
    std::vector<std::uint32_t> lines_;  // each rule's, as read
};

constexpr std::pair<const char*, long long> kUnits[] = {
    {"ms", 1}, {"s", 1000}, {"m", 60'000}, {"h", 3'600'000}, {"d", 86'400'000}};

}  // namespace

std::optional<Milliseconds> parse_duration(std::string_view text) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
    }
    if (digits == 0 || digits > 12) {
        return std::nullopt;
    }
    const std::string_view unit = text.substr(digits);
    for (const auto& [name, ms] : kUnits) {
        if (unit == name) {
            const long long count = std::stoll(std::string(text.substr(0, digits)));
            if (count > std::numeric_limits<long long>::max() / ms) {
                return std::nullopt;
            }
            return Milliseconds(count * ms);
        }
    }
    return std::nullopt;
}

std::string duration_words(Milliseconds duration) {
    for (auto unit = std::rbegin(kUnits); unit != std::rend(kUnits); ++unit) {
        if (duration.count() >= unit->second && duration.count() % unit->second == 0) {
            return std::to_string(duration.count() / unit->second) + " " + unit->first;
        }
    }
    return std::to_string(duration.count()) + " ms";
}

std::optional<std::vector<Rule>> read_rules(std::string_view text, std::vector<std::string>& errors) {
    std::vector<std::pair<std::uint32_t, std::string>> found;
    std::optional<std::vector<Rule>> rules;
    try {
        const toml::table root = toml::parse(text);
        Reader reader(found);
        rules = reader.in_file_order(reader.read(root));
    } catch (const toml::parse_error& mistake) {
        found.emplace_back(mistake.source().begin.line, std::string(mistake.description()));
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [line, message] : found) {
        errors.push_back(std::to_string(line) + ": " + message);
    }
    return found.empty() ? rules : std::nullopt;
}

Milliseconds renewal_period(const Rule& rule) {
    if (rule.show.command == protocol::Command::set) {
        return rule.every;
    }
    Milliseconds cycle{0};
    for (const protocol::Step& step : rule.show.steps) {
        cycle += Milliseconds(step.ms);
    }
    return cycle <= rule.every ? rule.every / cycle * cycle : rule.every;
}

Milliseconds expiry(const Rule& rule) {
    return rule.every + std::clamp(rule.every, kLeastMargin, kMostMargin);
}

}  // namespace triggers
