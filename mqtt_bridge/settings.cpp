#include "settings.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <sstream>

namespace bridge {
namespace {

bool is_name(const std::string& text) {
    return !text.empty() && text.size() <= 64 && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '_' || c == '-';
    });
}

// A prefix of topics: levels of printable ASCII, without MQTT's wildcards.
bool is_topic_prefix(const std::string& text) {
    return !text.empty() && text.size() <= 128 && text.front() != '/' && text.back() != '/' &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return c > ' ' && c < 0x7F && c != '+' && c != '#'; });
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

}  // namespace

const std::vector<Field>& fields() {
    static const std::vector<Field> known = {
        {"broker", "mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)", &Settings::broker, true},
        {"credentials",
         "A file holding the broker's user name, then its password, on two lines, readable by no one else "
         "(else KAV_MORV_LED_MQTT_USER and KAV_MORV_LED_MQTT_PASSWORD)",
         &Settings::credentials, true},
        {"ca-file", "For mqtts: the certificate authority the broker's certificate is checked against (else the "
                    "system's)",
         &Settings::ca_file, true},
        {"machine", "This machine's name in the topics (its host name's letters and digits)", &Settings::machine, true},
        {"fleet", "The fleet's name: commands to PREFIX/FLEET/set reach every machine of it", &Settings::fleet, true},
        {"priority", "The priority of the broker's indications, 0 to 255", &Settings::priority, true},
        {"effects", "A JSON file of named patterns offered as effects beside blink: {\"alarm\": \"red:100 off:100\"}",
         &Settings::effects, true},
        {"endpoint", "The LED service's endpoint (else KAV_MORV_LED_ENDPOINT, else the system's)", &Settings::endpoint,
         true},
        {"topic-prefix", "The first level of the topics", &Settings::topic_prefix, true},
        {"discovery-prefix", "Home Assistant's discovery prefix", &Settings::discovery_prefix, true},
        {"user", "", &Settings::user, false},
        {"password", "", &Settings::password, false},
    };
    return known;
}

bool read_settings(const std::string& text, const std::vector<std::string>& given, Settings& settings,
                   std::string& why_not) {
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        line = trimmed(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const auto equals = line.find('=');
        const std::string key = equals == std::string::npos ? line : trimmed(line.substr(0, equals));
        const auto field = std::find_if(fields().begin(), fields().end(),
                                        [&key](const Field& known) { return key == known.name; });
        if (equals == std::string::npos || field == fields().end()) {
            why_not = "line " + std::to_string(number) + " is not \"NAME = VALUE\" of a setting (" + key.substr(0, 40) + ")";
            return false;
        }
        if (std::find(given.begin(), given.end(), key) == given.end()) {
            settings.*(field->value) = trimmed(line.substr(equals + 1));
        }
    }
    return true;
}

std::optional<BrokerAddress> broker_address(const std::string& url, std::string& why_not) {
    why_not = "--broker \"" + url.substr(0, 80) + "\" is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    const auto scheme_end = url.find("://");
    const std::string scheme = scheme_end == std::string::npos ? "" : url.substr(0, scheme_end);
    if (scheme != "mqtt" && scheme != "mqtts") {
        return std::nullopt;
    }
    BrokerAddress address{scheme == "mqtts", url.substr(scheme_end + 3), scheme == "mqtts" ? 8883 : 1883};
    const auto colon = address.host.rfind(':');
    if (colon != std::string::npos && address.host.find(']', colon) == std::string::npos) {
        const std::string port = address.host.substr(colon + 1);
        address.host.resize(colon);
        if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit) ||
            std::stoi(port) < 1 || std::stoi(port) > 65535) {
            return std::nullopt;
        }
        address.port = std::stoi(port);
    }
    if (address.host.size() > 2 && address.host.front() == '[' && address.host.back() == ']') {
        address.host = address.host.substr(1, address.host.size() - 2);  // [::1]
    }
    if (address.host.empty() || address.host.find_first_of("/@ ") != std::string::npos) {
        return std::nullopt;
    }
    return address;
}

std::string unfit(const Settings& settings) {
    std::string why_not;
    if (!broker_address(settings.broker, why_not)) {
        return why_not;
    }
    if (!is_name(settings.machine) || !is_name(settings.fleet)) {
        return "--machine and --fleet are 1 to 64 letters, digits, '_' and '-'";
    }
    const std::string& priority = settings.priority;
    if (priority.empty() || priority.size() > 3 || !std::all_of(priority.begin(), priority.end(), ::isdigit) ||
        std::stoi(priority) > 255) {
        return "--priority \"" + priority.substr(0, 20) + "\" is not a whole number from 0 to 255";
    }
    if (!is_topic_prefix(settings.topic_prefix) || !is_topic_prefix(settings.discovery_prefix)) {
        return "--topic-prefix and --discovery-prefix are topic levels of printable characters without + or #";
    }
    return "";
}

std::string machine_name_of(const std::string& host) {
    std::string name;
    for (const char c : host.substr(0, host.find('.'))) {
        const auto byte = static_cast<unsigned char>(c);
        name += std::isalnum(byte) != 0 || c == '-' || c == '_' ? static_cast<char>(std::tolower(byte)) : '_';
    }
    return name.empty() ? "this_pc" : name.substr(0, 64);
}

std::string unique_id_of(const std::string& machine_id) {
    // FNV-1a: stable, and one way enough that the machine's id is not published as it is.
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : "kav_morv_led " + machine_id) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    char text[40];
    static_cast<void>(std::snprintf(text, sizeof text, "kav_morv_led_%016llx", static_cast<unsigned long long>(hash)));
    return text;
}

}  // namespace bridge
