// The state file's format: what the service writes is read back as it was asked, as far into its
// steps and life as the wall clock says, and anything it did not write is refused whole.
#include "core_fixtures.h"
#include "state_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace core_fixtures;
using service::Indication;
using service::Indications;

constexpr long long kNever = std::numeric_limits<long long>::min();  // no expiry

// The state file the service would write of `indications`, holding changes up to `generation`.
std::string state_of(const Indications& indications, Time now, service::WallTime wall, std::uint64_t generation = 0) {
    std::vector<const service::Indication*> in_order;
    for (const auto& [key, indication] : indications.all()) {
        in_order.push_back(&indication);
    }
    std::sort(in_order.begin(), in_order.end(), [](const auto* a, const auto* b) { return a->order < b->order; });
    std::vector<service::JournalRecord> records;
    for (const service::Indication* indication : in_order) {
        records.push_back(service::set_record(generation, *indication, now, wall));
    }
    std::vector<const std::string*> entries;
    for (const service::JournalRecord& record : records) {
        entries.push_back(&record.entry);
    }
    return service::state_text(generation, entries);
}

// The state file read back: what comes back into force, and what is refused whole.
TEST(StateFormatTest, BringsBackWhatWasAskedAndNothingUntrusted) {
    const service::WallTime wall = service::WallTime{} + std::chrono::hours(24 * 365 * 50);
    const long long wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count();
    const auto entry = [](const std::string& request, long long set_at, const std::string& expires) {
        return R"({"request":")" + request + R"(","owner_id":"1000","owner":"alice","set_at_ms":)" + std::to_string(set_at) +
               R"(,"expires_at_ms":)" + expires + "}";
    };
    const auto file = [](const std::string& entries) { return R"({"version":1,"indications":[)" + entries + "]}"; };

    Indications written;
    written.set(request("set blue name=base priority=1"), alice, t0);
    written.set(request("blink red 100 100 count=50 name=alarm priority=200 for=60000"), alice, t0);
    // Equal priorities, set one after the other: the one set last shows, before and after.
    Indications tied;
    tied.set(request("set green name=b"), bob, t0);
    tied.set(request("set red name=a"), alice, t0 + 1ms);
    const auto crowd = [&entry, wall_ms](int count) {
        std::string entries;
        for (int index = 0; index < count; ++index) {
            entries += (index == 0 ? "" : ",") + entry("set red name=n" + std::to_string(index), wall_ms, "null");
        }
        return entries;
    };
    struct Case {
        const char* name;
        std::string text;
        bool trusted;
        std::vector<std::string> names;  // what is back, showing first
        LedColorCode shows;              // 150 ms after it was written
        LedColorCode shows_a_second_later;
    };
    const Case cases[] = {
        {"what was written, read back 150 ms later", state_of(written, t0, wall), true,
         {"alarm", "base"}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"equal priorities, in the order they were set", state_of(tied, t0 + 1ms, wall), true, {"a", "b"},
         LED_COLOR_RED, LED_COLOR_RED},
        {"an indication whose count has run out since is left out",
         file(entry("pattern red:100 off:100 name=a repeat=2", wall_ms - 1000, "null")), true, {}, LED_COLOR_OFF,
         LED_COLOR_OFF},
        {"one that has expired since is left out", file(entry("set red name=a", wall_ms - 10, std::to_string(wall_ms - 5))),
         true, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"a wall clock set back since: it starts afresh, and ends as if set now",
         file(entry("pattern red:300 blue:300 name=a repeat=1", wall_ms + 86'400'000, "null")), true, {"a"},
         LED_COLOR_RED, LED_COLOR_OFF},
        {"as many as the caps allow", file(crowd(256)), true, std::vector<std::string>(1, "n255"), LED_COLOR_RED,
         LED_COLOR_RED},
        {"more than the caps allow", file(crowd(257)), false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"truncated", state_of(written, t0, wall).substr(0, 40), false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"not this file's version", R"({"version":2,"indications":[]})", false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"a version that is a string", R"({"version":"1","indications":[]})", false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"a version that is null", R"({"version":null,"indications":[]})", false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"indications that are not a list", R"({"version":1,"indications":{}})", false, {}, LED_COLOR_OFF,
         LED_COLOR_OFF},
        {"an indication that is not an object", file("[1]"), false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"an indication without its owner",
         file(R"({"request":"set red name=a","set_at_ms":)" + std::to_string(wall_ms) + R"(,"expires_at_ms":null})"),
         false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"a request no client could make", file(entry("set pink name=a", wall_ms, "null")), false, {}, LED_COLOR_OFF,
         LED_COLOR_OFF},
        {"a request that is not an indication", file(entry("clear name=a", wall_ms, "null")), false, {}, LED_COLOR_OFF,
         LED_COLOR_OFF},
        {"a time far out of range", file(entry("set red name=a", -9'000'000'000'000'000'000LL, "null")), false, {},
         LED_COLOR_OFF, LED_COLOR_OFF},
        {"an expiry far out of range", file(entry("set red name=a", wall_ms, "9000000000000000000")), false, {},
         LED_COLOR_OFF, LED_COLOR_OFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Indications indications;
        std::string why;
        const Time later = t0 + 24h;  // another boot: the steady clock is not the one that wrote it
        service::Restored restored;
        EXPECT_EQ(service::restore_state(indications, c.text, "", later, wall + 150ms, restored, why), c.trusted) << why;
        std::vector<std::string> names;
        for (const service::IndicationStatus& entry : indications.status(later)) {
            names.push_back(entry.indication->name);
        }
        // Many indications: the first is enough to tell them apart.
        names.resize(std::min(names.size(), c.names.size()));
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(indications.color_at(later), c.shows);
        EXPECT_EQ(indications.color_at(later + 1s), c.shows_a_second_later);
    }
}

// The journal read back after the state file: records the state file kept already skipped, a
// torn last record dropped, anything else it did not write refused whole; every expiry as it was.
TEST(StateFormatTest, TheJournalBringsBackEachChangeAfterTheStateFileOnce) {
    const service::WallTime wall = service::WallTime{} + std::chrono::hours(24 * 365 * 50);
    const long long wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count();
    const auto entry = [wall_ms](const std::string& name, long long expires_in_ms = kNever, long long set_ago_ms = 0) {
        return R"({"request":"set red name=)" + name + R"(","owner_id":"1000","owner":"alice","set_at_ms":)" +
               std::to_string(wall_ms - set_ago_ms) + R"(,"expires_at_ms":)" +
               (expires_in_ms == kNever ? std::string("null") : std::to_string(wall_ms + expires_in_ms)) + "}";
    };
    const auto set = [&entry](int generation, const std::string& name, long long expires_in_ms = kNever,
                              long long set_ago_ms = 0) {
        return R"({"generation":)" + std::to_string(generation) + R"(,"set":)" +
               entry(name, expires_in_ms, set_ago_ms) + "}\n";
    };
    const auto clear = [](int generation, const std::string& name) {
        return R"({"generation":)" + std::to_string(generation) + R"(,"clear":{"name":")" + name +
               R"(","owner_id":"1000"}})" + "\n";
    };
    const auto state = [](int generation, const std::string& entries) {
        return R"({"version":1,"generation":)" + std::to_string(generation) + R"(,"indications":[)" + entries + "]}";
    };
    // A user's every place taken by indications that expired before the journal's change was made.
    std::string expired_crowd;
    for (int index = 0; index < 256; ++index) {
        expired_crowd += (index == 0 ? "" : ",") + entry("n" + std::to_string(index), -500, 2000);
    }
    struct Case {
        const char* name;
        std::optional<std::string> state;
        std::string journal;
        bool trusted;
        std::vector<std::string> names;  // showing first
        std::uint64_t generation;
        bool torn;
    };
    const Case cases[] = {
        {"records the state file kept are skipped, later ones applied", state(5, entry("a")),
         set(4, "b") + set(5, "c") + set(6, "d"), true, {"d", "a"}, 6, false},
        {"a journal alone: sets and clears in order", std::nullopt, set(1, "a") + set(2, "b") + clear(3, "a"), true,
         {"b"}, 3, false},
        {"set again: the last set shows", std::nullopt, set(1, "a") + set(2, "b") + set(3, "a"), true, {"a", "b"}, 3,
         false},
        {"a state file written before the journal: generation 0", R"({"version":1,"indications":[]})", set(1, "a"),
         true, {"a"}, 1, false},
        {"a last record without its line feed is dropped", std::nullopt, set(1, "a") + set(2, "b").substr(0, 30), true,
         {"a"}, 1, true},
        {"a last record whole but for its line feed is dropped", std::nullopt,
         set(1, "a") + set(2, "b").substr(0, set(2, "b").size() - 1), true, {"a"}, 1, true},
        {"a last record whose line is whole but its JSON not is dropped", std::nullopt,
         set(1, "a") + "{\"generation\":2,\"se\n", true, {"a"}, 1, true},
        {"what had expired when a change was made gives its places up to it", state(1, expired_crowd),
         set(2, "new", kNever, 100), true, {"new"}, 2, false},
        {"a cut-short record before another is not trusted", std::nullopt,
         set(1, "a") + "{\"generation\":2\n" + set(3, "b"), false, {}, 0, false},
        {"a record neither a set nor a clear is not trusted", std::nullopt, R"({"generation":1,"get":{}})" "\n",
         false, {}, 0, false},
        {"a record without its generation is not trusted", std::nullopt, R"({"set":)" + entry("a") + "}\n" + set(2, "b"),
         false, {}, 0, false},
        {"generations going back are not trusted", std::nullopt, set(2, "a") + set(1, "b"), false, {}, 0, false},
        {"a set no client could make is not trusted", std::nullopt,
         R"({"generation":1,"set":{"request":"set pink name=a","owner_id":"1","owner":"a","set_at_ms":1,)"
         R"("expires_at_ms":null}})" "\n" + set(2, "b"),
         false, {}, 0, false},
        {"a state file whose generation is not a count is not trusted", R"({"version":1,"generation":-1,"indications":[]})",
         "", false, {}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Indications indications;
        service::Restored restored;
        std::string why;
        const Time later = t0 + 24h;
        EXPECT_EQ(service::restore_state(indications, c.state, c.journal, later, wall, restored, why), c.trusted) << why;
        std::vector<std::string> names;
        for (const service::IndicationStatus& status : indications.status(later)) {
            names.push_back(status.indication->name);
        }
        EXPECT_EQ(names, c.names);
        if (c.trusted) {
            EXPECT_EQ(restored.generation, c.generation);
            EXPECT_EQ(restored.torn_record, c.torn);
        }
    }
}

// An expiry comes back as it was: what was left of it, to the millisecond, by the wall clock.
TEST(StateFormatTest, AnExpiryComesBackAsLongAsItHadLeft) {
    const service::WallTime wall = service::WallTime{} + std::chrono::hours(24 * 365 * 50);
    Indications before;
    before.set(request("set red name=a for=600000"), alice, t0);
    before.set(request("pattern red:100 blue:100 name=b repeat=1000 for=90000"), alice, t0);
    const Indication& a = before.all().at({"a", alice.id});
    const std::string journal = service::journal_line(service::set_record(1, a, t0 + 1s, wall)) +
                                service::journal_line(
                                    service::set_record(2, before.all().at({"b", alice.id}), t0 + 1s, wall));
    Indications after;
    service::Restored restored;
    std::string why;
    const Time later = t0 + 24h;
    ASSERT_TRUE(service::restore_state(after, std::nullopt, journal, later, wall + 5s, restored, why)) << why;
    // 600 s from t0, written 1 s in, read back 5 s after that: 594 s left; 90 s likewise: 84 s.
    EXPECT_EQ(after.all().at({"a", alice.id}).expires_at, later + 594s);
    EXPECT_EQ(after.all().at({"b", alice.id}).expires_at, later + 84s);
    EXPECT_EQ(after.all().at({"b", alice.id}).set_at, later - 6s);
}

}  // namespace
