// What the bridge is told: the broker and how to log in to it, this machine's and its fleet's
// names in the topics, the priority of its indications, its effects and the LED service's
// endpoint. From the command line, or from a settings file of "key = value" lines (the same names,
// without their dashes), which the command line overrides.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bridge {

struct Settings {
    std::string broker;       // mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)
    std::string credentials;  // a file: the broker's user, then its password, on two lines
    std::string user;         // the broker's, from the settings file or KAV_MORV_LED_MQTT_USER
    std::string password;     // the same, KAV_MORV_LED_MQTT_PASSWORD; never from the command line
    std::string ca_file;      // mqtts: the authority the broker's certificate is checked against
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

// Takes a settings file's "key = value" lines (blank lines and lines starting with # aside) into
// `settings`, but for the fields in `given` (the command line's); false, with why, for a line that
// is not a setting.
bool read_settings(const std::string& text, const std::vector<std::string>& given, Settings& settings,
                   std::string& why_not);

struct BrokerAddress {
    bool tls;
    std::string host;
    int port;
};
std::optional<BrokerAddress> broker_address(const std::string& url, std::string& why_not);

// Why the settings cannot be used (a name with a space, a priority of 300); empty when they can.
std::string unfit(const Settings& settings);

// "pc-7" of a host name such as "PC 7.example": lower case, letters, digits, '_' and '-'.
std::string machine_name_of(const std::string& host);

// A stable id for Home Assistant's unique_id from the system's id of the machine (which is not
// given away): the same for the machine whatever its host name.
std::string unique_id_of(const std::string& machine_id);

}  // namespace bridge
