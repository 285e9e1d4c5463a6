// What the bridge is told: the broker and how to log in to it, this machine's and its fleet's
// names in the topics, the priority of its indications, its effects and the LED service's
// endpoint. From the command line, or from a settings file of "key = value" lines (the same names,
// without their dashes), which the command line overrides. No setting may hold a control
// character, wherever it comes from, and nothing said of a setting that cannot be used quotes a
// user's or password's value.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bridge {

struct Settings {
    std::string broker;       // mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)
    std::string credentials;  // a file: the broker's user, then its password, on two lines
    std::string user;         // the broker's, from the settings file or KAV_MORV_LED_MQTT_USER
    std::string password;     // the same, KAV_MORV_LED_MQTT_PASSWORD; never from the command line
    std::string ca_file;      // mqtts: the authority the broker's certificate is checked against
    std::string certificate;  // mqtts: this client's certificate, for a broker that asks for one
    std::string key;          // and its private key
    std::string machine;      // this PC's name in the topics
    std::string fleet = "all";
    std::string priority = "50";
    std::string effects;  // a JSON file of named patterns
    std::string endpoint;  // the LED service's
    std::string topic_prefix = "kav_morv_led";
    std::string discovery_prefix = "homeassistant";
};

// The settings' names as the command line and a settings file know them ("ca-file"), with help,
// and where each is kept. user and password are the settings file's alone.
struct Field {
    const char* name;
    const char* help;
    std::string Settings::*value;
    bool on_command_line;
};
const std::vector<Field>& fields();

// The most a settings, credentials or effects file may hold.
constexpr std::size_t kMostFileBytes = 64 * 1024;

// One "NAME = VALUE" line; an empty value takes the setting out (configure).
struct Setting {
    std::string name;
    std::string value;
};

// The "NAME = VALUE" lines of a settings file, in order (blank lines and lines starting with #
// aside, a UTF-8 byte order mark and CRLF line ends taken as they come). A value is trimmed of
// spaces and tabs, but one written between double quotes keeps exactly what is between them. None,
// with why (the line's number and its name, never its value), when a line is not such a setting.
std::optional<std::vector<Setting>> parse_settings(std::string_view text, std::string& why_not);

// Takes a settings file's settings into `settings`, but for the fields in `given` (the command
// line's); false, with why, for a line that is not a setting.
bool read_settings(std::string_view text, const std::vector<std::string>& given, Settings& settings,
                   std::string& why_not);

// A settings file's text with `changes` made: a setting's line replaced where it was, a new one
// added at the end, one with an empty value taken out; every other line, comments included, kept.
// Lines end in `line_end`. None, with why, when `text` is not a settings file.
std::optional<std::string> changed_settings(std::string_view text, const std::vector<Setting>& changes,
                                            const std::string& line_end, std::string& why_not);

// The user (first line) and password (second) of a credentials file, exactly as they are but for a
// byte order mark and CRLF line ends; false, with why, when it holds more or a control character.
bool read_credentials(std::string_view text, std::string& user, std::string& password, std::string& why_not);

struct BrokerAddress {
    bool tls;
    std::string host;
    int port;
    // HOST:PORT, as messages name it.
    std::string text() const;
};
std::optional<BrokerAddress> broker_address(const std::string& url, std::string& why_not);

// Why the value of the setting `name` cannot be used (a name with a space, a priority of 300, a
// topic prefix starting with $, a control character anywhere); empty when it can.
std::string setting_refusal(const std::string& name, const std::string& value);
// Why the settings cannot be used; empty when they can.
std::string settings_refusal(const Settings& settings);

// "pc_7" of a host name such as "PC 7.example": its first label in lower case, each character
// other than a letter, a digit, '_' or '-' made '_', at most 64.
std::string machine_name_of(const std::string& host);

}  // namespace bridge
