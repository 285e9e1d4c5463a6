#include "state_format.h"

#include <nlohmann/json.hpp>

#include <algorithm>
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

// What sets an indication again: a steady colour is a set, anything else a pattern of its steps.
protocol::Request request_for(const Indication& indication) {
    protocol::Request request;
    const bool steady = indication.steps.size() == 1 && indication.steps.front().ms == 0;
    request.command = steady ? protocol::Command::set : protocol::Command::pattern;
    request.name = indication.name;
    request.priority = indication.priority;
    request.steps = indication.steps;
    request.cycles = indication.cycles;
    return request;
}

// The indications in the order they were set, so that ties between priorities come back
// the same way round.
std::vector<const Indication*> in_order_set(const Indications& indications) {
    std::vector<const Indication*> all;
    for (const auto& [key, indication] : indications.all()) {
        all.push_back(&indication);
    }
    std::sort(all.begin(), all.end(), [](const Indication* a, const Indication* b) { return a->order < b->order; });
    return all;
}

}  // namespace

std::string state_text(const Indications& indications, Time now, WallTime wall_now) {
    nlohmann::json kept = nlohmann::json::array();
    for (const Indication* indication : in_order_set(indications)) {
        if (!indication->active_at(now)) {
            continue;
        }
        const WallTime set_at = wall_now - std::chrono::duration_cast<WallTime::duration>(now - indication->set_at);
        nlohmann::json expires_at;
        if (indication->expires_at) {
            expires_at =
                wall_ms(wall_now + std::chrono::duration_cast<WallTime::duration>(*indication->expires_at - now));
        }
        kept.push_back({{"request", protocol::format_request(request_for(*indication))},
                        {"owner_id", indication->owner.id},
                        {"owner", indication->owner.name},
                        {"set_at_ms", wall_ms(set_at)},
                        {"expires_at_ms", expires_at}});
    }
    return nlohmann::json({{"version", kVersion}, {"indications", kept}}).dump() + "\n";
}

bool restore_state(Indications& indications, const std::string& text, Time now, WallTime wall_now, std::string& why) {
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
        !state.contains("indications") || !state["indications"].is_array()) {
        return false;
    }
    Indications restored;
    for (const nlohmann::json& entry : state["indications"]) {
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
            (parsed.request->command != protocol::Command::set &&
             parsed.request->command != protocol::Command::pattern) ||
            owner.id.empty() || owner.name.empty()) {
            why = "an indication in it is not one this service writes" +
                  (parsed.error.empty() ? std::string() : " (" + parsed.error + ")");
            return false;
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
            indication.expires_at =
                now + Milliseconds(std::clamp(left, 0LL, static_cast<long long>(protocol::kMaxForMs)));
        }
        if (!restored.put(std::move(indication))) {
            why = "it holds more than one service may have in force";
            return false;
        }
    }
    restored.drop_ended(now);
    for (const Indication* indication : in_order_set(restored)) {
        indications.put(*indication);
    }
    return true;
}

}  // namespace service
