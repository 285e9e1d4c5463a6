#include "state_format.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string_view>
#include <vector>

namespace service {
namespace {

constexpr int kVersion = 1;
// Times a state file may hold, in milliseconds of the wall clock: up to the year 2286. Anything
// else is not a file this service wrote, and could overflow the clocks' arithmetic.
constexpr long long kLatestWallMs = 10'000'000'000'000LL;
constexpr long long kOldestAgeMs = 100LL * 365 * 24 * 3600 * 1000;

using Milliseconds = std::chrono::milliseconds;

long long wall_ms(WallTime time) {
    return std::chrono::duration_cast<Milliseconds>(time.time_since_epoch()).count();
}

// The same moment by the wall clock, `wall_now` being `now`'s.
long long wall_ms_of(Time at, Time now, WallTime wall_now) {
    return wall_ms(wall_now + std::chrono::duration_cast<WallTime::duration>(at - now));
}

// An owner's name is the system's, and may hold bytes that are not UTF-8: they are kept as the
// replacement character rather than refuse the whole file.
std::string text_of(const nlohmann::json& json) {
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// What sets an indication again: a steady colour is a set, anything else a pattern of its steps.
protocol::Request request_for(const Indication& indication) {
    protocol::Request request;
    request.command = indication.steady() ? protocol::Command::set : protocol::Command::pattern;
    request.name = indication.name;
    request.priority = indication.priority;
    request.steps = indication.steps;
    request.cycles = indication.cycles;
    return request;
}

bool is_count(const nlohmann::json& json) {
    return json.is_number_unsigned() || (json.is_number_integer() && json.get<long long>() >= 0);
}

// The indication an entry of the state file or a journal's record holds, at `now`; none, with
// why, when it is not one this service writes.
std::optional<Indication> indication_of(const nlohmann::json& entry, Time now, WallTime wall_now, std::string& why) {
    const auto wall_time = [&entry](const char* key) {
        return entry.contains(key) && entry[key].is_number_integer() && entry[key].get<long long>() >= 0 &&
               entry[key].get<long long>() <= kLatestWallMs;
    };
    const auto text_at = [&entry](const char* key) {
        return entry.contains(key) && entry[key].is_string() ? entry[key].get<std::string>() : std::string();
    };
    const bool well_formed = entry.is_object() && entry.contains("request") && entry["request"].is_string() &&
                             wall_time("set_at_ms") && entry.contains("expires_at_ms") &&
                             (entry["expires_at_ms"].is_null() || wall_time("expires_at_ms"));
    const protocol::Parsed parsed = well_formed ? protocol::parse_request(text_at("request")) : protocol::Parsed{};
    const Owner owner{text_at("owner_id"), text_at("owner")};
    if (!parsed.request ||
        (parsed.request->command != protocol::Command::set && parsed.request->command != protocol::Command::pattern) ||
        owner.id.empty() || owner.name.empty()) {
        why = "an indication in it is not one this service writes" +
              (parsed.error.empty() ? std::string() : " (" + parsed.error + ")");
        return std::nullopt;
    }
    Indication indication;
    indication.owner = owner;
    indication.name = parsed.request->name;
    indication.priority = parsed.request->priority;
    indication.steps = parsed.request->steps;
    indication.cycles = parsed.request->cycles;
    // A wall clock set back since makes an indication look set in the future: it starts now.
    // One set longer ago than the clocks' arithmetic can hold (a century) counts as set a
    // century ago: it shows the same.
    const long long set_at_ms = entry["set_at_ms"].get<long long>();
    const long long age = set_at_ms < wall_ms(wall_now) ? std::min(wall_ms(wall_now) - set_at_ms, kOldestAgeMs) : 0;
    indication.set_at = now - Milliseconds(age);
    if (!entry["expires_at_ms"].is_null()) {
        const long long left = entry["expires_at_ms"].get<long long>() - wall_ms(wall_now);
        // One that has passed stays in the past, so that what had ended when a later change was
        // made is let go before it, as it was.
        indication.expires_at =
            now + Milliseconds(std::clamp(left, -kOldestAgeMs, static_cast<long long>(protocol::kMaxForMs)));
    }
    return indication;
}

// Puts `indication` in force as set after all others, as the service did: what had ended by the
// time it was set was let go first.
bool put_as_set(Indications& indications, Indication indication, std::string& why) {
    indications.drop_ended(indication.set_at);
    if (!indications.put(std::move(indication))) {
        why = "it holds more than one service may have in force";
        return false;
    }
    return true;
}

bool restore_snapshot(Indications& into, const std::string& text, Time now, WallTime wall_now,
                      std::uint64_t& generation, std::string& why) {
    why = "it is not a whole state file of version " + std::to_string(kVersion);
    if (text.size() > kMaxStateBytes) {
        why = "it is larger than the " + std::to_string(kMaxStateBytes) + " bytes any state file of this service is";
        return false;
    }
    // The parser stops at a NUL byte as at the end: what follows one would go unread.
    if (text.find('\0') != std::string::npos) {
        why += " (it holds a NUL byte)";
        return false;
    }
    const nlohmann::json state = nlohmann::json::parse(text, nullptr, false);
    if (state.is_discarded() || !state.is_object() || !state.contains("version") ||
        !state["version"].is_number_integer() || state["version"].get<long long>() != kVersion ||
        !state.contains("indications") || !state["indications"].is_array() ||
        (state.contains("generation") && !is_count(state["generation"]))) {
        return false;
    }
    // Written before the journal: generation 0.
    generation = state.contains("generation") ? state["generation"].get<std::uint64_t>() : 0;
    for (const nlohmann::json& entry : state["indications"]) {
        std::optional<Indication> indication = indication_of(entry, now, wall_now, why);
        if (!indication || !put_as_set(into, std::move(*indication), why)) {
            return false;
        }
    }
    return true;
}

// One record of the journal applied; false, with why, when it is not one this service writes.
bool apply_record(Indications& into, const nlohmann::json& record, Time now, WallTime wall_now, std::string& why) {
    if (record.contains("set") && record.size() == 2) {
        std::optional<Indication> indication = indication_of(record["set"], now, wall_now, why);
        return indication && put_as_set(into, std::move(*indication), why);
    }
    const nlohmann::json* cleared = record.contains("clear") && record.size() == 2 ? &record["clear"] : nullptr;
    if (cleared == nullptr || !cleared->is_object() || !cleared->contains("name") || !(*cleared)["name"].is_string() ||
        !cleared->contains("owner_id") || !(*cleared)["owner_id"].is_string()) {
        why = "a record in it is neither a set nor a clear";
        return false;
    }
    const std::string owner_id = (*cleared)["owner_id"].get<std::string>();
    into.clear((*cleared)["name"].get<std::string>(), [&owner_id](const Owner& owner) { return owner.id == owner_id; });
    return true;
}

bool restore_journal(Indications& into, const std::string& text, Time now, WallTime wall_now, Restored& restored,
                     std::string& why) {
    if (text.size() > kMaxJournalBytes) {
        why = "its journal is larger than the " + std::to_string(kMaxJournalBytes) +
              " bytes any journal of this service is";
        return false;
    }
    const std::uint64_t in_state_file = restored.generation;
    std::uint64_t previous = 0;
    std::string_view rest = text;
    for (std::size_t number = 1; !rest.empty(); ++number) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const bool last = rest.empty();
        const nlohmann::json record = line.find('\0') == std::string_view::npos
                                          ? nlohmann::json::parse(line, nullptr, false)
                                          : nlohmann::json(nlohmann::json::value_t::discarded);
        // A crash while a record was appended leaves it cut short, as the last line; its change
        // was never acknowledged.
        if (last && (end == std::string_view::npos || record.is_discarded())) {
            restored.torn_record = true;
            break;
        }
        why = "its journal's record " + std::to_string(number) + " is not one this service writes";
        if (record.is_discarded() || !record.is_object() || !record.contains("generation") ||
            !is_count(record["generation"]) || record["generation"].get<std::uint64_t>() < previous) {
            return false;
        }
        const std::uint64_t generation = previous = record["generation"].get<std::uint64_t>();
        // Kept by the state file already: written before the journal was started afresh.
        if (generation <= in_state_file) {
            continue;
        }
        std::string wrong;
        if (!apply_record(into, record, now, wall_now, wrong)) {
            why += " (" + wrong + ")";
            return false;
        }
        restored.generation = generation;
    }
    return true;
}

}  // namespace

JournalRecord set_record(std::uint64_t generation, const Indication& indication, Time now, WallTime wall_now) {
    nlohmann::json expires_at;
    if (indication.expires_at) {
        expires_at = wall_ms_of(*indication.expires_at, now, wall_now);
    }
    const nlohmann::json entry = {{"request", protocol::format_request(request_for(indication))},
                                  {"owner_id", indication.owner.id},
                                  {"owner", indication.owner.name},
                                  {"set_at_ms", wall_ms_of(indication.set_at, now, wall_now)},
                                  {"expires_at_ms", expires_at}};
    const std::optional<Time> end = indication.ends_at();
    return {generation,
            {indication.name, indication.owner.id},
            text_of(entry),
            end ? std::optional<long long>(wall_ms_of(*end, now, wall_now)) : std::nullopt};
}

JournalRecord cleared_record(std::uint64_t generation, const Indications::Key& key) {
    return {generation, key, "", std::nullopt};
}

std::string journal_line(const JournalRecord& record) {
    if (record.entry.empty()) {
        return R"({"generation":)" + std::to_string(record.generation) + R"(,"clear":)" +
               text_of({{"name", record.key.first}, {"owner_id", record.key.second}}) + "}\n";
    }
    return R"({"generation":)" + std::to_string(record.generation) + R"(,"set":)" + record.entry + "}\n";
}

std::string state_text(std::uint64_t generation, const std::vector<const std::string*>& entries) {
    std::string text = R"({"version":)" + std::to_string(kVersion) + R"(,"generation":)" + std::to_string(generation) +
                       R"(,"indications":[)";
    const char* comma = "";
    for (const std::string* entry : entries) {
        text += comma;
        text += *entry;
        comma = ",";
    }
    return text + "]}\n";
}

bool restore_state(Indications& indications, const std::optional<std::string>& state, const std::string& journal,
                   Time now, WallTime wall_now, Restored& restored, std::string& why) {
    Indications kept;
    restored = Restored{};
    if (state && !restore_snapshot(kept, *state, now, wall_now, restored.generation, why)) {
        return false;
    }
    if (!restore_journal(kept, journal, now, wall_now, restored, why)) {
        return false;
    }
    kept.drop_ended(now);
    std::vector<const Indication*> in_order;
    for (const auto& [key, indication] : kept.all()) {
        in_order.push_back(&indication);
    }
    std::sort(in_order.begin(), in_order.end(),
              [](const Indication* a, const Indication* b) { return a->order < b->order; });
    for (const Indication* indication : in_order) {
        indications.put(*indication);
    }
    return true;
}

}  // namespace service
