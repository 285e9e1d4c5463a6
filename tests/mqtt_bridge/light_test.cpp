// The bridge's decisions without a broker or a service: what each command asks of the service (or
// why it is refused), the light's state from a status, the nearest colour, effects and settings.
#include "light.h"
#include "settings.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

namespace {

const light::Effects kEffects = {{"alarm", {{LED_COLOR_RED, 100}, {LED_COLOR_OFF, 100}}}};

// The request lines a payload asks for, or "refused: WHY".
std::vector<std::string> asked(light::Commands& commands, const std::string& payload) {
    std::string why_not;
    const std::optional<light::Command> command = commands.read(payload, why_not);
    if (!command) {
        return {"refused: " + why_not};
    }
    std::vector<std::string> lines;
    for (const protocol::Request& request : command->requests) {
        lines.push_back(protocol::format_request(request));
    }
    for (const std::string& note : command->notes) {
        lines.push_back("note: " + note);
    }
    return lines;
}

TEST(LightTest, EachCommandAsksWhatItMeansOrIsRefusedWithWhy) {
    struct Case {
        std::string payload;
        std::vector<std::string> lines;
    };
    const std::string clear_flash = "clear name=mqtt_flash";
    const Case cases[] = {  // in order: a command without a colour keeps the last one's
        {R"({"state":"ON"})", {clear_flash, "set white name=mqtt priority=60"}},
        {R"({"state":"ON","color":{"r":240,"g":20,"b":30}})", {clear_flash, "set red name=mqtt priority=60"}},
        {R"({"state":"ON","effect":"blink"})", {clear_flash, "blink red 500 500 name=mqtt priority=60"}},
        {R"({"state":"ON","effect":"alarm","color":{"h":120,"s":100}})",
         {clear_flash, "pattern red:100 off:100 name=mqtt priority=60"}},
        {R"({"state":"ON","effect":"none"})", {clear_flash, "set green name=mqtt priority=60"}},
        {R"({"state":"ON","color":{"x":0.15,"y":0.06},"flash":"short"})",
         {"blink blue 500 500 name=mqtt_flash priority=60 for=2000"}},
        {R"({"state":"ON","flash":"long","transition":3})",
         {"blink blue 500 500 name=mqtt_flash priority=60 for=10000", "note: its transition is ignored: the LED changes at once"}},
        {R"({"state":"ON","brightness":0})", {clear_flash, "clear name=mqtt"}},
        {R"({"state":"ON","brightness":255,"color":{"r":0,"g":0,"b":0}})", {clear_flash, "set white name=mqtt priority=60"}},
        {R"({"state":"OFF","color":{"r":"x"}})", {clear_flash, "clear name=mqtt"}},
        {"", {"refused: a command of 0 bytes (1 to 4096 are taken)"}},
        {std::string(4097, ' '), {"refused: a command of 4097 bytes (1 to 4096 are taken)"}},
        {"\"" + std::string(4094, 'x') + "\"", {"refused: a command without a \"state\" of \"ON\" or \"OFF\""}},
        {"{\"state\":\"ON\",\"x\":\"\xff\"}", {"refused: a command that is not UTF-8"}},
        {R"({"state":"ON","a":[[[{}]]]})", {"refused: a command nested deeper than 4"}},
        {R"({"state":"ON","a":[[{}]],"b":"[[[[[["})", {clear_flash, "set white name=mqtt priority=60"}},
        {"[[[", {"refused: a command that is not JSON"}},
        {R"({"state":"on"})", {"refused: a command without a \"state\" of \"ON\" or \"OFF\""}},
        {R"({"state":"ON","color":{"r":256,"g":0,"b":0}})",
         {R"(refused: its colour is not {"r","g","b"} (0 to 255), {"h","s"} or {"x","y"})"}},
        {R"({"state":"ON","color":{"r":1e300,"g":0,"b":0}})",
         {R"(refused: its colour is not {"r","g","b"} (0 to 255), {"h","s"} or {"x","y"})"}},
        {R"({"state":"ON","color":{"x":0.3,"y":0}})",
         {R"(refused: its colour is not {"r","g","b"} (0 to 255), {"h","s"} or {"x","y"})"}},
        {R"({"state":"ON","effect":"rainbow"})", {"refused: unknown effect \"rainbow\""}},
        {R"({"state":"ON","effect":["blink"]})", {"refused: its effect [\"blink\"] is not a name"}},
        {R"({"state":"ON","flash":2})", {"refused: its flash 2 is not \"short\" or \"long\""}},
        {R"({"state":"ON","brightness":"full"})", {"refused: its brightness \"full\" is not a number from 0 to 255"}},
        {R"({"state":"ON"})", {clear_flash, "set white name=mqtt priority=60"}},  // the refusals changed nothing
    };
    light::Commands commands(kEffects, 60);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload.substr(0, 80));
        EXPECT_EQ(asked(commands, c.payload), c.lines);
    }
}

TEST(LightTest, TheStateIsWhatShowsWithAnEffectOnlyFromTheList) {
    struct Case {
        std::string status;
        std::optional<std::string> state;
    };
    const auto status = [](const std::string& steps) {
        return R"({"showing":"x","owner":"bob","color":"red","read_back":"red","indications":[)"
               R"({"name":"x","owner":"alice","steps":[{"color":"green","ms":0}]},)"
               R"({"name":"x","owner":"bob","steps":)" + steps + "}]}";
    };
    const std::string red = R"({"color":{"b":0,"g":0,"r":255},"color_mode":"rgb",)";
    const Case cases[] = {
        {R"({"showing":null,"owner":null,"color":"off","read_back":null,"indications":[]})", R"({"state":"OFF"})"},
        {status(R"([{"color":"red","ms":0}])"), red + R"("state":"ON"})"},
        {status(R"([{"color":"red","ms":500},{"color":"off","ms":500}])"), red + R"("effect":"blink","state":"ON"})"},
        {status(R"([{"color":"red","ms":100},{"color":"off","ms":100}])"), red + R"("effect":"alarm","state":"ON"})"},
        {status(R"([{"color":"off","ms":100},{"color":"red","ms":10},{"color":"blue","ms":10}])"),
         red + R"("state":"ON"})"},
        {status(R"([{"color":"off","ms":0}])"), R"({"state":"OFF"})"},
        {status(R"([{"color":"pink","ms":0}])"), std::nullopt},
        {"ok", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(light::state_of(c.status, kEffects), c.state);
    }
}

TEST(LightTest, EffectsAndSettingsAreReadOrRefusedWithWhy) {
    std::string why_not;
    const std::optional<light::Effects> effects = light::read_effects(R"({"alarm":"red:100 OFF:50","calm":"cb:1000"})", why_not);
    ASSERT_TRUE(effects);
    EXPECT_EQ(effects->at("alarm"), (std::vector<protocol::Step>{{LED_COLOR_RED, 100}, {LED_COLOR_OFF, 50}}));
    for (const char* bad : {R"({"blink":"red:100"})", R"({"a b":"red:100"})", R"({"x":"pink:100"})", R"({"x":5})", "[]"}) {
        EXPECT_FALSE(light::read_effects(bad, why_not)) << bad;
    }

    struct Address {
        const char* url;
        std::optional<std::string> seen;  // "tls host port"
    };
    const Address addresses[] = {
        {"mqtt://broker.example", "0 broker.example 1883"}, {"mqtts://broker.example", "1 broker.example 8883"},
        {"mqtt://10.0.0.2:65535", "0 10.0.0.2 65535"},      {"mqtt://[::1]:1884", "0 ::1 1884"},
        {"mqtt://h:65536", std::nullopt}, {"mqtt://h:0", std::nullopt}, {"http://h", std::nullopt},
        {"mqtt://", std::nullopt}, {"mqtt://user@h", std::nullopt}, {"mqtt://h/x", std::nullopt},
    };
    for (const Address& a : addresses) {
        const std::optional<bridge::BrokerAddress> got = bridge::broker_address(a.url, why_not);
        EXPECT_EQ(got ? std::optional<std::string>(std::to_string(got->tls) + " " + got->host + " " + std::to_string(got->port))
                      : std::nullopt,
                  a.seen)
            << a.url;
    }

    bridge::Settings settings;
    settings.machine = "given";
    ASSERT_TRUE(bridge::read_settings("# a comment\n\nbroker = mqtt://b\nmachine = filed\n password = p w \n", {"machine"},
                                      settings, why_not))
        << why_not;
    EXPECT_EQ(std::vector<std::string>({settings.broker, settings.machine, settings.password}),
              std::vector<std::string>({"mqtt://b", "given", "p w"}));
    for (const auto& [priority, fit] : std::vector<std::pair<std::string, bool>>{
             {"0", true}, {"255", true}, {"256", false}, {"-1", false}, {"", false}, {"1e2", false}}) {
        settings.priority = priority;
        EXPECT_EQ(bridge::unfit(settings).empty(), fit) << priority;
    }
    settings.priority = "50";
    settings.machine = std::string(65, 'm');
    EXPECT_EQ(bridge::unfit(settings), "--machine and --fleet are 1 to 64 letters, digits, '_' and '-'");
    EXPECT_EQ(bridge::machine_name_of("PC 7.example.org"), "pc_7");
    EXPECT_EQ(bridge::unique_id_of("a"), bridge::unique_id_of("a"));
    EXPECT_NE(bridge::unique_id_of("a"), bridge::unique_id_of("b"));
}

// A settings file's lines as written by hand or by Notepad: what each gives the password, or why it
// is refused, which never quotes a value.
TEST(SettingsTest, EachLineGivesItsValueOrIsRefusedWithoutQuotingIt) {
    struct Case {
        std::string text;
        std::string password_or_why;
    };
    const Case cases[] = {
        {"password = s3cret\n", "s3cret"},
        {"password = s3cret\r\nuser = u\r\n", "s3cret"},
        {"\xEF\xBB\xBFpassword = s3cret\n", "s3cret"},
        {"password=\" s3cret \"\n", " s3cret "},
        {"password = \"\"quoted\"\"", "\"quoted\""},
        {"password = \"", "\""},
        {"password = a\"b\\", "a\"b\\"},
        {"password = p\xC3\xA4ss;word", "p\xC3\xA4ss;word"},
        {"password = \t s3cret\t", "s3cret"},
        {"password =", ""},
        {"broker = x\ns3cretLEAK\n", "refused: line 2 is not \"NAME = VALUE\": it has no ="},
        {"pasword = s3cretLEAK\n", "refused: line 1 (pasword) is not \"NAME = VALUE\" of a setting: no setting has its name"},
        {"\xEF\xBB\xBF\xEF\xBB\xBFpassword = s3cretLEAK\n",
         "refused: line 1 is not \"NAME = VALUE\" of a setting: no setting has its name"},
        {"password = s3cret\x01LEAK\n", "refused: line 1 (password): its value holds a control character"},
        {"password = s3cret\rLEAK\n", "refused: line 1 (password): its value holds a control character"},
        {"password = s3cret\x7F\n", "refused: line 1 (password): its value holds a control character"},
    };
    for (const Case& c : cases) {
        bridge::Settings settings;
        std::string why_not;
        const bool read = bridge::read_settings(c.text, {}, settings, why_not);
        EXPECT_EQ(read ? settings.password : "refused: " + why_not, c.password_or_why) << c.text;
    }
}

TEST(SettingsTest, ACredentialsFileGivesItsTwoLinesExactly) {
    struct Case {
        std::string text;
        std::string seen;
    };
    const Case cases[] = {
        {"led\n s3cret \n", "led| s3cret "},
        {"\xEF\xBB\xBFled\r\ns3cret\r\n", "led|s3cret"},
        {"led\ns3cret", "led|s3cret"},
        {"led\n", "led|"},
        {"led\ns3cret\n\n\n", "led|s3cret"},
        {"led\ns3cret\nLEAK\n", "refused: it holds more than two lines (the user, then the password)"},
        {"led\ns3cret\rLEAK\n", "refused: its password holds a control character"},
        {"l\ted\ns3cret\n", "refused: its user holds a control character"},
    };
    for (const Case& c : cases) {
        std::string user;
        std::string password;
        std::string why_not;
        EXPECT_EQ(bridge::read_credentials(c.text, user, password, why_not) ? user + "|" + password : "refused: " + why_not,
                  c.seen)
            << c.text;
    }
}

// configure's changes: only what is given changes, in place; comments stay; an empty value takes
// a setting out; what is written reads back as it was given.
TEST(SettingsTest, AChangeTouchesOnlyTheSettingsGiven) {
    struct Case {
        std::string before;
        std::vector<bridge::Setting> changes;
        std::string after;
    };
    const Case cases[] = {
        {"# mine\nbroker = mqtt://a\nfleet = f\n", {{"broker", "mqtt://b"}}, "# mine|broker = mqtt://b|fleet = f|"},
        {"broker = mqtt://a\r\n", {{"password", " s p "}, {"user", "led"}},
         "broker = mqtt://a|password = \" s p \"|user = led|"},
        {"password = old\nbroker = mqtt://a\npassword = older\n", {{"password", "new"}}, "password = new|broker = mqtt://a|"},
        {"password = old\nbroker = mqtt://a\n", {{"password", ""}}, "broker = mqtt://a|"},
        {"", {{"password", "\"x\""}}, "password = \"\"x\"\"|"},
        {"nonsense\n", {{"broker", "mqtt://b"}}, "refused: line 1 is not \"NAME = VALUE\": it has no ="},
    };
    for (const Case& c : cases) {
        std::string why_not;
        const std::optional<std::string> text = bridge::changed_settings(c.before, c.changes, "|", why_not);
        EXPECT_EQ(text ? *text : "refused: " + why_not, c.after) << c.before;
        bridge::Settings settings;
        if (text) {
            std::string lines = *text;
            std::replace(lines.begin(), lines.end(), '|', '\n');
            ASSERT_TRUE(bridge::read_settings(lines, {}, settings, why_not)) << why_not;
            for (const bridge::Setting& change : c.changes) {
                if (change.name == "password") {
                    EXPECT_EQ(settings.password, change.value);
                }
            }
        }
    }
}

TEST(SettingsTest, NoSettingMayHoldAControlCharacterWhereverItComesFrom) {
    for (const bridge::Field& field : bridge::fields()) {
        for (const char* bad : {"led\r\nbroker = mqtt://evil.example:1", "a\tb", "\x1b[2J"}) {
            bridge::Settings settings;
            settings.broker = "mqtt://b";
            settings.machine = "pc";
            settings.*(field.value) = bad;
            EXPECT_EQ(bridge::unfit(settings), std::string("the setting ") + field.name + " holds a control character");
        }
    }
    EXPECT_EQ(bridge::unfit_setting("broker", "mqtt://led:s3cret@b"),
              "--broker holds a user or password: give them in the settings or credentials file");
}

}  // namespace
