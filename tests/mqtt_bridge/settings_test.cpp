// What the bridge is told: each setting at its bounds, settings files as people and Notepad write
// them, credentials, configure's changes, broker addresses, and the service SID derived from a name.
#include "settings.h"
#include "endpoint.h"
#include "service_sid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Each setting exactly at its bounds and one past them: what it refuses, or "" for a value it takes.
TEST(SettingsTest, EachSettingTakesItsLimitAndRefusesOnePast) {
    const std::string names = "--machine and --fleet are 1 to 64 letters, digits, '_' and '-'";
    const std::string prefixes =
        "--topic-prefix and --discovery-prefix are 1 to 128 printable characters, not starting with $ (the broker's "
        "own "
        "topics, or shared subscriptions) or /, without + or #";
    const auto priority = [](const std::string& value) {
        return "--priority \"" + value + "\" is not a whole number from 0 to 255";
    };
    const auto broker = [](const std::string& value) {
        return "--broker \"" + value + "\" is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    };
    struct Case {
        std::string name;
        std::string value;
        std::string refusal;
    };
    const Case cases[] = {
        {"machine", std::string(64, 'm'), ""},
        {"machine", std::string(65, 'm'), names},
        {"machine", "pc_7-b", ""},
        {"machine", "", names},
        {"machine", "pc.7", names},
        {"fleet", std::string(64, 'f'), ""},
        {"fleet", std::string(65, 'f'), names},
        {"priority", "0", ""},
        {"priority", "255", ""},
        {"priority", "256", priority("256")},
        {"priority", "-1", priority("-1")},
        {"priority", "1e2", priority("1e2")},
        {"priority", "", priority("")},
        {"topic-prefix", std::string(128, 't'), ""},
        {"topic-prefix", std::string(129, 't'), prefixes},
        {"topic-prefix", "site/leds", ""},
        {"topic-prefix", "$SYS/x", prefixes},
        {"discovery-prefix", "$share/g/homeassistant", prefixes},
        {"discovery-prefix", "/homeassistant", prefixes},
        {"discovery-prefix", "homeassistant/", prefixes},
        {"topic-prefix", "a/+/b", prefixes},
        {"topic-prefix", "a#", prefixes},
        {"topic-prefix", "a b", prefixes},
        {"broker", "mqtt://h:1", ""},
        {"broker", "mqtt://h:65535", ""},
        {"broker", "mqtt://h:0", broker("mqtt://h:0")},
        {"broker", "mqtt://h:65536", broker("mqtt://h:65536")},
        {"broker", "mqtt://led:s3cret@b",
         "--broker holds a user or password: give them in the settings or credentials file"},
        {"user", "a\tb", "the setting user holds a control character"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bridge::setting_refusal(c.name, c.value), c.refusal) << c.name << " = " << c.value;
    }
    bridge::Settings settings;
    settings.broker = "mqtts://b";
    settings.machine = "pc";
    settings.certificate = "client.pem";
    EXPECT_EQ(bridge::settings_refusal(settings),
              "--certificate and --key go together: the client's certificate and its private key");
    settings.key = "client.key";
    EXPECT_EQ(bridge::settings_refusal(settings), "");
}

TEST(SettingsTest, ABrokerIsAUrlOfMqttOrMqttsWithAHostAndAPort) {
    struct Address {
        const char* url;
        std::optional<std::string> seen;  // "tls HOST:PORT"
    };
    const Address addresses[] = {
        {"mqtt://broker.example", "0 broker.example:1883"},
        {"mqtts://broker.example", "1 broker.example:8883"},
        {"mqtt://10.0.0.2:65535", "0 10.0.0.2:65535"},
        {"mqtt://[::1]:1884", "0 [::1]:1884"},
        {"mqtt://h:65536", std::nullopt},
        {"mqtt://h:0", std::nullopt},
        {"http://h", std::nullopt},
        {"mqtt://", std::nullopt},
        {"mqtt://user@h", std::nullopt},
        {"mqtt://h/x", std::nullopt},
    };
    for (const Address& a : addresses) {
        std::string why_not;
        const std::optional<bridge::BrokerAddress> got = bridge::broker_address(a.url, why_not);
        EXPECT_EQ(got ? std::optional<std::string>(std::to_string(got->tls) + " " + got->text()) : std::nullopt, a.seen)
            << a.url;
    }
}

TEST(SettingsTest, AMachinesNameIsItsHostsFirstLabelInLowerCase) {
    for (const auto& [host, name] :
         std::vector<std::pair<std::string, std::string>>{{"PC 7.example.org", "pc_7"},
                                                          {"pc-7_b", "pc-7_b"},
                                                          {"", "this_pc"},
                                                          {std::string(70, 'A'), std::string(64, 'a')}}) {
        EXPECT_EQ(bridge::machine_name_of(host), name) << host;
    }
}

// Windows names a service's account by a SID derived from the service's name: TrustedInstaller's
// is well known, and the bridge's is the one the LED service's pipe lets in.
TEST(SettingsTest, AServicesSidIsDerivedFromItsName) {
    EXPECT_EQ(bridge::service_sid_of("TrustedInstaller"),
              "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
    EXPECT_EQ(bridge::service_sid_of("trustedinstaller"), bridge::service_sid_of("TrustedInstaller"));
    EXPECT_EQ(bridge::service_sid_of(endpoint::kBridgeServiceName), endpoint::kBridgeServiceSid);
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
        {"pasword = s3cretLEAK\n",
         "refused: line 1 (pasword) is not \"NAME = VALUE\" of a setting: no setting has its name"},
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
        EXPECT_EQ(
            bridge::read_credentials(c.text, user, password, why_not) ? user + "|" + password : "refused: " + why_not,
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
        {"broker = mqtt://a\r\n",
         {{"password", " s p "}, {"user", "led"}},
         "broker = mqtt://a|password = \" s p \"|user = led|"},
        {"password = old\nbroker = mqtt://a\npassword = older\n",
         {{"password", "new"}},
         "password = new|broker = mqtt://a|"},
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
            EXPECT_EQ(bridge::settings_refusal(settings),
                      std::string("the setting ") + field.name + " holds a control character");
        }
    }
}

}  // namespace
