// The state file's format: what the service writes is read back as it was asked, as far into its
// steps and life as the wall clock says, and anything it did not write is refused whole.
#include "core_fixtures.h"
#include "state_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace core_fixtures;
using service::Indications;

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
        {"what was written, read back 150 ms later", service::state_text(written, t0, wall), true,
         {"alarm", "base"}, LED_COLOR_OFF, LED_COLOR_OFF},
        {"equal priorities, in the order they were set", service::state_text(tied, t0 + 1ms, wall), true, {"a", "b"},
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
        {"truncated", service::state_text(written, t0, wall).substr(0, 40), false, {}, LED_COLOR_OFF, LED_COLOR_OFF},
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
        EXPECT_EQ(service::restore_state(indications, c.text, later, wall + 150ms, why), c.trusted) << why;
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

}  // namespace
