// The light's decisions without a broker or a service: what each command asks of the service (or
// why it is refused) at every bound of what it may hold, the state from a status, the discovery
// config as Home Assistant's JSON light reads it, and who the light is.
#include "light.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace {

using Json = nlohmann::json;

const light::Effects kEffects = {{"alarm", {{LED_COLOR_RED, 100}, {LED_COLOR_OFF, 100}}}};
const std::string kClearFlash = "clear name=mqtt_flash";
const std::string kWhite = "set white name=mqtt priority=60";
const std::string kRed = "set red name=mqtt priority=60";
const std::string kBadColour = R"(refused: its colour is not {"r","g","b"} (0 to 255), {"h","s"} or {"x","y"})";

// The request lines a payload asks for, or "refused: WHY".
std::vector<std::string> asked(light::CommandReader& reader, const std::string& payload) {
    std::string why_not;
    const std::optional<light::LedChange> change = reader.read(payload, why_not);
    if (!change) {
        return {"refused: " + why_not};
    }
    std::vector<std::string> lines;
    for (const protocol::Request& request : change->requests) {
        lines.push_back(protocol::format_request(request));
    }
    for (const std::string& note : change->notes) {
        lines.push_back("note: " + note);
    }
    return lines;
}

// A command of exactly `bytes` bytes, padded with spaces after its JSON.
std::string padded(const std::string& command, std::size_t bytes) {
    return command + std::string(bytes - command.size(), ' ');
}

struct CommandCase {
    std::string payload;
    std::vector<std::string> lines;
};

void expect_commands(const std::vector<CommandCase>& cases) {
    light::CommandReader reader(kEffects, 60);
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.payload.substr(0, 80));
        EXPECT_EQ(asked(reader, c.payload), c.lines);
    }
}

TEST(LightTest, EachCommandAsksWhatItMeans) {
    expect_commands({
        // in order: a command without a colour keeps the last one's
        {R"({"state":"ON"})", {kClearFlash, kWhite}},
        {R"({"state":"ON","color":{"r":240,"g":20,"b":30}})", {kClearFlash, kRed}},
        {R"({"state":"ON","effect":"blink"})", {kClearFlash, "blink red 500 500 name=mqtt priority=60"}},
        {R"({"state":"ON","effect":"alarm","color":{"h":120,"s":100}})",
         {kClearFlash, "pattern red:100 off:100 name=mqtt priority=60"}},
        {R"({"state":"ON","effect":"none"})", {kClearFlash, "set green name=mqtt priority=60"}},
        {R"({"state":"ON","color":{"x":0.15,"y":0.06},"flash":2})",
         {"blink blue 500 500 name=mqtt_flash priority=60 for=2000"}},
        {R"({"state":"ON","flash":10,"transition":3})",
         {"blink blue 500 500 name=mqtt_flash priority=60 for=10000",
          "note: its transition is ignored: the LED changes at once"}},
        {R"({"state":"OFF","color":{"r":"x"}})", {kClearFlash, "clear name=mqtt"}},
        {R"({"state":"ON","brightness":255,"color":{"r":0,"g":0,"b":0}})", {kClearFlash, kWhite}},
        {R"({"state":"on"})", {"refused: a command without a \"state\" of \"ON\" or \"OFF\""}},
        {R"({"state":"ON","effect":"rainbow"})", {"refused: unknown effect \"rainbow\""}},
        {R"({"state":"ON","effect":["blink"]})", {"refused: its effect [\"blink\"] is not a name"}},
        {R"({"state":"ON","brightness":"full"})", {"refused: its brightness \"full\" is not a number from 0 to 255"}},
        {"[[[", {"refused: a command that is not JSON"}},
        {"{\"state\":\"ON\",\"x\":\"\xff\"}", {"refused: a command that is not UTF-8"}},
        {R"({"state":"ON"})", {kClearFlash, kWhite}},  // the refusals changed nothing
    });
}

// Each number a command may hold, exactly at its bounds and one step past them; the bytes and the
// nesting likewise, brackets inside strings (escaped quotes and backslashes among them) not counted.
TEST(LightTest, EachBoundOfACommandTakesItsLimitAndRefusesOnePast) {
    const std::string flash_refused = "refused: its flash ";
    expect_commands({
        {R"({"state":"ON","brightness":0})", {kClearFlash, "clear name=mqtt"}},
        {R"({"state":"ON","brightness":0.5,"color":{"r":255,"g":0,"b":0}})", {kClearFlash, kRed}},
        {R"({"state":"ON","brightness":255})", {kClearFlash, kRed}},
        {R"({"state":"ON","brightness":256})", {"refused: its brightness 256 is not a number from 0 to 255"}},
        {R"({"state":"ON","brightness":-1})", {"refused: its brightness -1 is not a number from 0 to 255"}},
        {R"({"state":"ON","color":{"r":255,"g":0,"b":255}})", {kClearFlash, "set purple name=mqtt priority=60"}},
        {R"({"state":"ON","color":{"r":256,"g":0,"b":0}})", {kBadColour}},
        {R"({"state":"ON","color":{"r":0,"g":0,"b":-1}})", {kBadColour}},
        {R"({"state":"ON","color":{"r":1e300,"g":0,"b":0}})", {kBadColour}},
        {R"({"state":"ON","color":{"h":0,"s":100}})", {kClearFlash, kRed}},
        {R"({"state":"ON","color":{"h":360,"s":100}})", {kClearFlash, kRed}},
        {R"({"state":"ON","color":{"h":360.01,"s":100}})", {kBadColour}},
        {R"({"state":"ON","color":{"h":-0.01,"s":100}})", {kBadColour}},
        {R"({"state":"ON","color":{"h":240,"s":0}})", {kClearFlash, kWhite}},
        {R"({"state":"ON","color":{"h":240,"s":100.01}})", {kBadColour}},
        {R"({"state":"ON","color":{"h":240,"s":-0.01}})", {kBadColour}},
        {R"({"state":"ON","color":{"x":1,"y":0.3}})", {kClearFlash, kRed}},
        {R"({"state":"ON","color":{"x":0,"y":1}})", {kClearFlash, "set green name=mqtt priority=60"}},
        {R"({"state":"ON","color":{"x":1.01,"y":0.3}})", {kBadColour}},
        {R"({"state":"ON","color":{"x":0.3,"y":0}})", {kBadColour}},
        {R"({"state":"ON","color":{"x":-0.01,"y":0.3}})", {kBadColour}},
        {R"({"state":"ON","flash":1})", {"blink green 500 500 name=mqtt_flash priority=60 for=1000"}},
        {R"({"state":"ON","flash":3600})", {"blink green 500 500 name=mqtt_flash priority=60 for=3600000"}},
        {R"({"state":"ON","flash":0})", {flash_refused + "0 is not a whole number of seconds from 1 to 3600"}},
        {R"({"state":"ON","flash":3601})", {flash_refused + "3601 is not a whole number of seconds from 1 to 3600"}},
        {R"({"state":"ON","flash":1.5})", {flash_refused + "1.5 is not a whole number of seconds from 1 to 3600"}},
        {R"({"state":"ON","flash":"short"})",
         {flash_refused + "\"short\" is not a whole number of seconds from 1 to 3600"}},
        {padded(R"({"state":"ON"})", 4096), {kClearFlash, "set green name=mqtt priority=60"}},
        {padded(R"({"state":"ON"})", 4097), {"refused: a command of 4097 bytes (1 to 4096 are taken)"}},
        {"", {"refused: a command of 0 bytes (1 to 4096 are taken)"}},
        {R"({"state":"ON","a":[[{}]]})", {kClearFlash, "set green name=mqtt priority=60"}},
        {R"({"state":"ON","a":[[[{}]]]})", {"refused: a command nested deeper than 4"}},
        {R"({"state":"ON","b":"[[[[[[","a":[[{}]]})", {kClearFlash, "set green name=mqtt priority=60"}},
        {R"({"state":"ON","b":"\"[[[[[[","a":[[{}]]})", {kClearFlash, "set green name=mqtt priority=60"}},
        {R"({"state":"ON","b":"x\\","a":[[[{}]]]})", {"refused: a command nested deeper than 4"}},
        {R"({"state":"ON","b":"\\\"[[[[","a":[[{}]]})", {kClearFlash, "set green name=mqtt priority=60"}},
    });
}

TEST(LightTest, TheStateIsWhatShowsWhoeverOwnsItWithItsEffectOrNull) {
    // Two indications of one name, alice's and bob's, in either order; the one showing is bob's.
    const auto status = [](const std::string& bobs_steps, bool bob_first) {
        const std::string alice = R"({"name":"x","owner":"alice","steps":[{"color":"green","ms":0}]})";
        const std::string bob = R"({"name":"x","owner":"bob","steps":)" + bobs_steps + "}";
        return R"({"showing":"x","owner":"bob","color":"red","read_back":"red","indications":[)" +
               (bob_first ? bob + "," + alice : alice + "," + bob) + "]}";
    };
    const std::string red = R"({"color":{"b":0,"g":0,"r":255},"color_mode":"rgb","effect":)";
    const std::string off = R"({"effect":null,"state":"OFF"})";
    const std::string steady = R"([{"color":"red","ms":0}])";
    const std::string blink = R"([{"color":"red","ms":500},{"color":"off","ms":500}])";
    struct Case {
        std::string status;
        std::optional<std::string> state;
    };
    const Case cases[] = {
        {R"({"showing":null,"owner":null,"color":"off","read_back":null,"indications":[]})", off},
        {status(steady, false), red + R"(null,"state":"ON"})"},
        {status(steady, true), red + R"(null,"state":"ON"})"},
        {status(blink, false), red + R"("blink","state":"ON"})"},
        {status(blink, true), red + R"("blink","state":"ON"})"},
        {status(R"([{"color":"red","ms":100},{"color":"off","ms":100}])", true), red + R"("alarm","state":"ON"})"},
        {status(R"([{"color":"off","ms":100},{"color":"red","ms":10},{"color":"blue","ms":10}])", false),
         red + R"(null,"state":"ON"})"},
        {status(R"([{"color":"off","ms":0}])", true), off},
        {status(R"([{"color":"pink","ms":0}])", false), std::nullopt},
        {"ok", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(light::state_of(c.status, kEffects), c.state);
    }
}

// Every field Home Assistant's JSON light reads, as docs/mqtt.md promises them: the topics where
// the bridge publishes and listens, the payloads it uses, the entity named by its device.
TEST(LightTest, TheDiscoveryConfigIsAJsonLightOnTheBridgesTopics) {
    const light::Topics topics = light::topics_for("kav_morv_led", "homeassistant", "pc7", "all", "kav_morv_led_0123");
    EXPECT_EQ(Json::parse(light::discovery_config(topics, kEffects)), Json::parse(R"({
        "name": null, "unique_id": "kav_morv_led_0123", "schema": "json",
        "command_topic": "kav_morv_led/pc7/set", "state_topic": "kav_morv_led/pc7/state",
        "availability_topic": "kav_morv_led/pc7/availability", "payload_available": "online",
        "payload_not_available": "offline", "qos": 1, "supported_color_modes": ["rgb"], "brightness": false,
        "effect": true, "effect_list": ["blink", "alarm"], "flash_time_short": 2, "flash_time_long": 10,
        "device": {"identifiers": ["kav_morv_led_0123"], "name": "pc7 LED", "manufacturer": "KAV MORV LED",
                   "model": "KAV MORV LED", "sw_version": ")" KAV_MORV_LED_VERSION_TEXT R"("}})"));
    EXPECT_EQ(std::vector<std::string>({topics.config, topics.earlier_config, topics.fleet_command, topics.birth}),
              std::vector<std::string>({"homeassistant/light/kav_morv_led_0123/config",
                                        "homeassistant/light/kav_morv_led_pc7/config", "kav_morv_led/all/set",
                                        "homeassistant/status"}));
}

// A renamed light's earlier topics, said by the config it left retained, are cleared; nothing of
// another light's, or outside what a light's state and availability topics can be.
TEST(LightTest, ARetainedConfigOfThisLightUnderAnotherNameNamesWhatToClear) {
    const light::Topics topics = light::topics_for("kav_morv_led", "homeassistant", "pc8", "all", "kav_morv_led_0123");
    const auto config = [](const std::string& id, const std::string& state, const std::string& availability) {
        return Json{{"unique_id", id}, {"state_topic", state}, {"availability_topic", availability}}.dump();
    };
    struct Case {
        std::string retained;
        std::vector<std::string> cleared;
    };
    const Case cases[] = {
        {config("kav_morv_led_0123", "kav_morv_led/pc7/state", "kav_morv_led/pc7/availability"),
         {"kav_morv_led/pc7/state", "kav_morv_led/pc7/availability"}},
        {config("kav_morv_led_0123", "kav_morv_led/pc8/state", "kav_morv_led/pc8/availability"), {}},
        {config("kav_morv_led_9999", "kav_morv_led/pc7/state", "kav_morv_led/pc7/availability"), {}},
        {config("kav_morv_led_0123", "kav_morv_led/pc9/set", "$SYS/availability"), {}},
        {config("kav_morv_led_0123", "kav_morv_led/+/state", "#/availability"), {}},
        {"not json", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(light::earlier_topics(c.retained, topics), c.cleared) << c.retained;
    }
}

// The light is the machine's, whatever its host is called, unless a name is given; its client id
// is its own (no reader of the discovery config learns it) and fits MQTT 3.1.1's 23 bytes.
TEST(LightTest, TheLightIsTheMachinesWhateverItsHostIsCalled) {
    const light::Identity pc7 = light::identity_of("0a1b2c3d", "pc7", false);
    struct Case {
        light::Identity other;
        bool same;
    };
    const Case cases[] = {
        {light::identity_of("0a1b2c3d", "renamed", false), true},
        {light::identity_of("0a1b2c3e", "pc7", false), false},
        {light::identity_of("0a1b2c3d", "pc7", true), false},
        {light::identity_of("", "pc7", false), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.other.unique_id == pc7.unique_id, c.same) << c.other.unique_id;
        EXPECT_EQ(c.other.client_id == pc7.client_id, c.same) << c.other.client_id;
    }
    EXPECT_EQ(
        light::identity_of("0a1b2c3d", "a", true).unique_id == light::identity_of("0a1b2c3d", "b", true).unique_id,
        false);
    EXPECT_LE(pc7.client_id.size(), 23U);
    EXPECT_EQ(pc7.unique_id.find(pc7.client_id.substr(4)), std::string::npos);
    EXPECT_EQ(pc7.unique_id.find("0a1b2c3d"), std::string::npos);
}

TEST(LightTest, EffectsAreReadOrRefusedWithWhy) {
    std::string why_not;
    const std::optional<light::Effects> effects =
        light::read_effects(R"({"alarm":"red:100 OFF:50","calm":"cb:1000"})", why_not);
    ASSERT_TRUE(effects);
    EXPECT_EQ(effects->at("alarm"), (std::vector<protocol::Step>{{LED_COLOR_RED, 100}, {LED_COLOR_OFF, 50}}));
    for (const char* bad :
         {R"({"blink":"red:100"})", R"({"a b":"red:100"})", R"({"x":"pink:100"})", R"({"x":5})", "[]"}) {
        EXPECT_FALSE(light::read_effects(bad, why_not)) << bad;
    }
}

}  // namespace
