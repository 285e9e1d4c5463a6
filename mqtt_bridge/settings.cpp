#include "settings.h"

#include <algorithm>
#include <cctype>

namespace bridge {
namespace {

bool is_name(const std::string& text) {
    return !text.empty() && text.size() <= 64 && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '_' || c == '-';
    });
}

// A prefix of topics: levels of printable ASCII, without MQTT's wildcards, and not the broker's
// own ($SYS/...) or a shared subscription's ($share/GROUP/...), which would leave the bridge deaf.
bool is_topic_prefix(const std::string& text) {
    return !text.empty() && text.size() <= 128 && text.front() != '/' && text.front() != '$' && text.back() != '/' &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return c > ' ' && c < 0x7F && c != '+' && c != '#'; });
}

bool has_control_character(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    return first == std::string_view::npos ? std::string_view() : text.substr(first, last - first + 1);
}

// The text's lines, without a byte order mark before the first or a CR before each LF.
std::vector<std::string_view> lines_of(std::string_view text) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());
    }
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

// A value as a settings file holds it: in double quotes when trimming would change it.
std::string written(const std::string& value) {
    const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
    return quoted || trimmed(value) != value ? "\"" + value + "\"" : value;
}

// What a line says of itself in a message: its number and, if it is one, its name.
std::string about_line(std::size_t number, std::string_view name) {
    const bool sayable = !name.empty() && name.size() <= 40 && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '_' || c == '-';
    });
    return "line " + std::to_string(number) + (sayable ? " (" + std::string(name) + ")" : "");
}

const Field* field_named(std::string_view name) {
    const auto field = std::find_if(fields().begin(), fields().end(), [&name](const Field& known) { return name == known.name; });
    return field == fields().end() ? nullptr : &*field;
}

// A parsed line, and where it is in the text.
struct Line {
    std::size_t index;
    Setting setting;
};

std::optional<std::vector<Line>> parse_lines(const std::vector<std::string_view>& lines, std::string& why_not) {
    std::vector<Line> parsed;
    for (std::size_t index = 0; index < lines.size(); ++index) {
        const std::string_view line = trimmed(lines[index]);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const auto equals = line.find('=');
        const std::string_view name = equals == std::string_view::npos ? std::string_view() : trimmed(line.substr(0, equals));
        if (equals == std::string_view::npos) {
            why_not = about_line(index + 1, name) + " is not \"NAME = VALUE\": it has no =";
            return std::nullopt;
        }
        if (field_named(name) == nullptr) {
            why_not = about_line(index + 1, name) + " is not \"NAME = VALUE\" of a setting: no setting has its name";
            return std::nullopt;
        }
        std::string_view value = trimmed(line.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (has_control_character(value)) {
            why_not = about_line(index + 1, name) + ": its value holds a control character";
            return std::nullopt;
        }
        parsed.push_back({index, {std::string(name), std::string(value)}});
    }
    return parsed;
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
        {"certificate", "For mqtts: this client's certificate (PEM), for a broker that asks for one", &Settings::certificate,
         true},
        {"key", "For mqtts: the private key of --certificate (PEM), readable by no one else", &Settings::key, true},
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

std::optional<std::vector<Setting>> parse_settings(std::string_view text, std::string& why_not) {
    const std::optional<std::vector<Line>> lines = parse_lines(lines_of(text), why_not);
    if (!lines) {
        return std::nullopt;
    }
    std::vector<Setting> settings;
    for (const Line& line : *lines) {
        settings.push_back(line.setting);
    }
    return settings;
}

bool read_settings(std::string_view text, const std::vector<std::string>& given, Settings& settings,
                   std::string& why_not) {
    const std::optional<std::vector<Setting>> read = parse_settings(text, why_not);
    if (!read) {
        return false;
    }
    for (const Setting& setting : *read) {
        if (std::find(given.begin(), given.end(), setting.name) == given.end()) {
            settings.*(field_named(setting.name)->value) = setting.value;
        }
    }
    return true;
}

std::optional<std::string> changed_settings(std::string_view text, const std::vector<Setting>& changes,
                                            const std::string& line_end, std::string& why_not) {
    const std::vector<std::string_view> lines = lines_of(text);
    const std::optional<std::vector<Line>> parsed = parse_lines(lines, why_not);
    if (!parsed) {
        return std::nullopt;
    }
    std::vector<std::optional<std::string>> out(lines.begin(), lines.end());
    std::vector<std::string> added;
    for (const Setting& change : changes) {
        const std::optional<std::string> line =
            change.value.empty() ? std::nullopt : std::optional<std::string>(change.name + " = " + written(change.value));
        bool placed = false;
        for (const Line& old : *parsed) {
            if (old.setting.name == change.name) {
                out[old.index] = placed ? std::nullopt : line;
                placed = true;
            }
        }
        if (!placed && line) {
            added.push_back(*line);
        }
    }
    std::string result;
    for (const std::optional<std::string>& line : out) {
        if (line) {
            result += *line + line_end;
        }
    }
    for (const std::string& line : added) {
        result += line + line_end;
    }
    return result;
}

bool read_credentials(std::string_view text, std::string& user, std::string& password, std::string& why_not) {
    const std::vector<std::string_view> lines = lines_of(text);
    if (lines.size() > 2 && std::any_of(lines.begin() + 2, lines.end(), [](std::string_view line) { return !line.empty(); })) {
        why_not = "it holds more than two lines (the user, then the password)";
        return false;
    }
    user = lines.empty() ? "" : std::string(lines[0]);
    password = lines.size() < 2 ? "" : std::string(lines[1]);
    if (has_control_character(user) || has_control_character(password)) {
        why_not = std::string("its ") + (has_control_character(user) ? "user" : "password") + " holds a control character";
        return false;
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

std::string BrokerAddress::text() const {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string setting_refusal(const std::string& name, const std::string& value) {
    if (has_control_character(value)) {
        return "the setting " + name + " holds a control character";
    }
    std::string why_not;
    if (name == "broker" && value.find('@') != std::string::npos) {
        return "--broker holds a user or password: give them in the settings or credentials file";
    }
    if (name == "broker" && !broker_address(value, why_not)) {
        return why_not;
    }
    if ((name == "machine" || name == "fleet") && !is_name(value)) {
        return "--machine and --fleet are 1 to 64 letters, digits, '_' and '-'";
    }
    if (name == "priority" && (value.empty() || value.size() > 3 || !std::all_of(value.begin(), value.end(), ::isdigit) ||
                               std::stoi(value) > 255)) {
        return "--priority \"" + value.substr(0, 20) + "\" is not a whole number from 0 to 255";
    }
    if ((name == "topic-prefix" || name == "discovery-prefix") && !is_topic_prefix(value)) {
        return "--topic-prefix and --discovery-prefix are 1 to 128 printable characters, not starting with $ "
               "(the broker's own topics, or shared subscriptions) or /, without + or #";
    }
    return "";
}

std::string settings_refusal(const Settings& settings) {
    for (const Field& field : fields()) {
        std::string refusal = setting_refusal(field.name, settings.*(field.value));
        if (!refusal.empty()) {
            return refusal;
        }
    }
    if (settings.certificate.empty() != settings.key.empty()) {
        return "--certificate and --key go together: the client's certificate and its private key";
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

}  // namespace bridge
