#include "light.h"

#include "words.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <sstream>

namespace light {
namespace {

using Json = nlohmann::json;

struct Lit {
    LedColorCode code;
    std::array<int, 3> rgb;
};
// The lit colours, in the order a tie between them is settled.
constexpr Lit kLit[] = {{LED_COLOR_RED, {255, 0, 0}},      {LED_COLOR_GREEN, {0, 255, 0}},
                        {LED_COLOR_BLUE, {0, 0, 255}},     {LED_COLOR_WHITE, {255, 255, 255}},
                        {LED_COLOR_CB, {0, 255, 255}},     {LED_COLOR_YELLOW, {255, 255, 0}},
                        {LED_COLOR_PURPLE, {255, 0, 255}}};

const Lit* lit(LedColorCode code) {
    for (const Lit& each : kLit) {
        if (each.code == code) {
            return &each;
        }
    }
    return nullptr;
}

// How deep brackets nest outside strings: the parser's depth, known before it runs.
int nesting(std::string_view text) {
    int depth = 0;
    int deepest = 0;
    bool in_text = false;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (in_text) {
            at += c == '\\' ? 1 : 0;
            in_text = c != '"';
        } else if (c == '"') {
            in_text = true;
        } else if (c == '{' || c == '[') {
            deepest = std::max(deepest, ++depth);
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return deepest;
}

// A finite number within [least, most]; none for anything else (a string, 1e400, NaN).
std::optional<double> number_in(const Json& value, double least, double most) {
    if (!value.is_number()) {
        return std::nullopt;
    }
    const double number = value.get<double>();
    return std::isfinite(number) && number >= least && number <= most ? std::optional<double>(number) : std::nullopt;
}

// A colour given as rgb, hs or xy, taken to the nearest of the LED's; none, with why, for another.
std::optional<LedColorCode> color_of(const Json& color, std::string& why_not) {
    why_not = "its colour is not {\"r\",\"g\",\"b\"} (0 to 255), {\"h\",\"s\"} or {\"x\",\"y\"}";
    if (!color.is_object()) {
        return std::nullopt;
    }
    const auto field = [&color](const char* key, double least, double most) {
        return color.contains(key) ? number_in(color[key], least, most) : std::nullopt;
    };
    if (color.contains("r") || color.contains("g") || color.contains("b")) {
        const auto red = field("r", 0, 255);
        const auto green = field("g", 0, 255);
        const auto blue = field("b", 0, 255);
        return red && green && blue ? std::optional(nearest_color(*red, *green, *blue)) : std::nullopt;
    }
    if (color.contains("h") || color.contains("s")) {
        const auto hue = field("h", 0, 360);
        const auto saturation = field("s", 0, 100);
        if (!hue || !saturation) {
            return std::nullopt;
        }
        // Full value: only hue and saturation tell a colour of the LED's apart.
        const double s = *saturation / 100;
        const auto channel = [&](double n) {
            const double k = std::fmod(n + *hue / 60, 6);
            return 255 * (1 - s * std::max(0.0, std::min({k, 4 - k, 1.0})));
        };
        return nearest_color(channel(5), channel(3), channel(1));
    }
    const auto x = field("x", 0, 1);
    const auto y = field("y", 0, 1);
    if (!x || !y || *y <= 0) {
        return std::nullopt;
    }
    // CIE xy at full luminance to linear sRGB; what lies outside its gamut is clipped.
    const double big_x = *x / *y;
    const double big_z = (1 - *x - *y) / *y;
    return nearest_color(std::max(0.0, 3.2406 * big_x - 1.5372 - 0.4986 * big_z),
                         std::max(0.0, -0.9689 * big_x + 1.8758 + 0.0415 * big_z),
                         std::max(0.0, 0.0557 * big_x - 0.2040 + 1.0570 * big_z));
}

std::string shortened(const Json& value) {
    const std::string text = value.dump(-1, ' ', true, Json::error_handler_t::replace);
    return text.size() > 60 ? text.substr(0, 60) + "..." : text;
}

}  // namespace

std::optional<Effects> read_effects(std::string_view text, std::string& why_not) {
    const Json named = Json::parse(text, nullptr, false);
    if (named.is_discarded() || !named.is_object()) {
        why_not = "it is not a JSON object of names and patterns: {\"alarm\": \"red:100 off:100\"}";
        return std::nullopt;
    }
    Effects effects;
    for (const auto& [name, steps] : named.items()) {
        std::vector<std::string> words;
        std::istringstream split(steps.is_string() ? steps.get<std::string>() : std::string());
        for (std::string word; split >> word;) {
            words.push_back(word);
        }
        const protocol::Parsed pattern = protocol::parse_words("pattern", words, {{"name", name}});
        if (name == kBlink || !steps.is_string() || !pattern.request) {
            why_not = "effect " + shortened(Json(name)) + ": give a pattern as \"COLOUR:MS COLOUR:MS ...\" under a name " +
                      "of 1 to 64 letters, digits, '.', '_' or '-' other than blink" +
                      (pattern.error.empty() ? std::string() : " (" + pattern.error + ")");
            return std::nullopt;
        }
        effects[name] = pattern.request->steps;
    }
    return effects;
}

LedColorCode nearest_color(double red, double green, double blue) {
    const double brightest = std::max({red, green, blue});
    if (brightest <= 0) {
        return LED_COLOR_WHITE;
    }
    const std::array<double, 3> scaled = {red * 255 / brightest, green * 255 / brightest, blue * 255 / brightest};
    const Lit* nearest = nullptr;
    double least = 0;
    for (const Lit& each : kLit) {
        double distance = 0;
        for (std::size_t channel = 0; channel < 3; ++channel) {
            distance += (scaled[channel] - each.rgb[channel]) * (scaled[channel] - each.rgb[channel]);
        }
        if (nearest == nullptr || distance < least) {
            nearest = &each;
            least = distance;
        }
    }
    return nearest->code;
}

protocol::Request CommandReader::request(protocol::Command command, const char* name) const {
    protocol::Request request;
    request.command = command;
    request.name = name;
    request.priority = priority_;
    return request;
}

std::optional<LedChange> CommandReader::read(std::string_view payload, std::string& why_not) {
    if (payload.empty() || payload.size() > kMaxPayloadBytes) {
        why_not = "a command of " + std::to_string(payload.size()) + " bytes (1 to " +
                  std::to_string(kMaxPayloadBytes) + " are taken)";
        return std::nullopt;
    }
    if (!protocol::is_utf8(payload)) {
        why_not = "a command that is not UTF-8";
        return std::nullopt;
    }
    if (nesting(payload) > kMaxNesting) {
        why_not = "a command nested deeper than " + std::to_string(kMaxNesting);
        return std::nullopt;
    }
    const Json command = Json::parse(payload, nullptr, false);
    if (command.is_discarded()) {
        why_not = "a command that is not JSON";
        return std::nullopt;
    }
    const Json state = command.is_object() ? command.value("state", Json()) : Json();
    if (state != "ON" && state != "OFF") {
        why_not = "a command without a \"state\" of \"ON\" or \"OFF\"";
        return std::nullopt;
    }
    LedChange change;
    const auto field = [&command](const char* key) { return command.contains(key) ? &command[key] : nullptr; };
    bool off = state == "OFF";
    if (const Json* brightness = field("brightness")) {
        const auto level = number_in(*brightness, 0, 255);
        if (!level) {
            why_not = "its brightness " + shortened(*brightness) + " is not a number from 0 to 255";
            return std::nullopt;
        }
        off = off || *level == 0;  // the LED has no brightness of its own: at 0 it is off
    }
    if (field("transition") != nullptr) {
        change.notes.push_back("its transition is ignored: the LED changes at once");
    }
    if (off) {
        change.requests = {request(protocol::Command::clear, kFlashIndication),
                           request(protocol::Command::clear, kIndication)};
        return change;
    }
    LedColorCode color = last_color_;
    if (const Json* given = field("color")) {
        const std::optional<LedColorCode> nearest = color_of(*given, why_not);
        if (!nearest) {
            return std::nullopt;
        }
        color = *nearest;
    }
    const Json* effect = field("effect");
    if (effect != nullptr && !effect->is_string()) {
        why_not = "its effect " + shortened(*effect) + " is not a name";
        return std::nullopt;
    }
    const std::string effect_name = effect != nullptr ? effect->get<std::string>() : "";
    if (!effect_name.empty() && effect_name != kBlink && effect_name != "none" && effects_.count(effect_name) == 0) {
        why_not = "unknown effect " + shortened(*effect);
        return std::nullopt;
    }
    const Json* flash = field("flash");
    // Home Assistant sends the flash's length, flash_time_short or flash_time_long.
    const std::optional<double> flash_s = flash != nullptr ? number_in(*flash, 1, kMostFlashS) : std::nullopt;
    if (flash != nullptr && (!flash_s || *flash_s != std::floor(*flash_s))) {
        why_not = "its flash " + shortened(*flash) + " is not a whole number of seconds from 1 to " +
                  std::to_string(kMostFlashS);
        return std::nullopt;
    }
    const std::vector<protocol::Step> blink = {{color, kBlinkMs}, {LED_COLOR_OFF, kBlinkMs}};
    if (flash != nullptr) {
        protocol::Request flashing = request(protocol::Command::blink, kFlashIndication);
        flashing.steps = blink;
        flashing.for_ms = static_cast<std::uint32_t>(*flash_s) * 1000;
        change.requests = {flashing};
    } else {
        protocol::Request lasting = request(protocol::Command::set, kIndication);
        lasting.steps = {{color, 0}};
        if (effect_name == kBlink) {
            lasting.command = protocol::Command::blink;
            lasting.steps = blink;
        } else if (effects_.count(effect_name) != 0) {
            lasting.command = protocol::Command::pattern;
            lasting.steps = effects_.at(effect_name);
        }
        change.requests = {request(protocol::Command::clear, kFlashIndication), lasting};
    }
    last_color_ = color;
    return change;
}

std::optional<std::string> state_of(std::string_view status_payload, const Effects& effects) {
    const Json status = Json::parse(status_payload, nullptr, false);
    if (status.is_discarded() || !status.is_object() || !status.value("indications", Json()).is_array()) {
        return std::nullopt;
    }
    const Json* showing = nullptr;
    for (const Json& indication : status["indications"]) {
        if (indication.is_object() && indication.value("name", Json()) == status.value("showing", Json()) &&
            indication.value("owner", Json()) == status.value("owner", Json())) {
            showing = &indication;
        }
    }
    std::vector<protocol::Step> steps;
    if (showing != nullptr && showing->value("steps", Json()).is_array()) {
        for (const Json& step : (*showing)["steps"]) {
            const std::optional<LedColorCode> color =
                step.is_object() && step.value("color", Json()).is_string()
                    ? protocol::color_from_name(step["color"].get<std::string>())
                    : std::nullopt;
            const Json ms = step.is_object() ? step.value("ms", Json()) : Json();
            if (!color || !ms.is_number_unsigned()) {
                return std::nullopt;
            }
            steps.push_back({*color, ms.get<std::uint32_t>()});
        }
    }
    const auto first_lit = std::find_if(steps.begin(), steps.end(), [](const protocol::Step& step) {
        return lit(step.color) != nullptr;
    });
    if (first_lit == steps.end()) {
        return Json{{"state", "OFF"}, {"effect", nullptr}}.dump();
    }
    const Lit& color = *lit(first_lit->color);
    Json state = {{"state", "ON"},
                  {"color_mode", "rgb"},
                  {"color", {{"r", color.rgb[0]}, {"g", color.rgb[1]}, {"b", color.rgb[2]}}},
                  {"effect", nullptr}};
    for (const auto& [name, pattern] : effects) {
        if (pattern == steps) {
            state["effect"] = name;
        }
    }
    if (state["effect"].is_null() && steps.size() == 2 && steps[1].color == LED_COLOR_OFF) {
        state["effect"] = kBlink;
    }
    return state.dump();
}

Identity identity_of(const std::string& machine_id, const std::string& machine, bool named) {
    const std::string key = machine_id.empty() ? machine : machine_id + (named ? "/" + machine : "");
    // The unique_id as earlier versions made it, so that an upgraded PC stays the same light; the
    // client id from another hash of the same key, which the unique_id does not give away. Both
    // FNV-1a: stable, and from 64 bits no one recovers the machine's id.
    const auto hash = [&key](const std::string& purpose) {
        std::uint64_t value = 0xcbf29ce484222325ULL;
        for (const char c : purpose + key) {
            value = (value ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
        }
        char text[17];
        static_cast<void>(std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value)));
        return std::string(text);
    };
    // MQTT 3.1.1 promises client ids of up to 23 bytes: this one is 20.
    return {"kav_morv_led_" + hash("kav_morv_led "), "kml_" + hash("mqtt client ")};
}

Topics topics_for(const std::string& prefix, const std::string& discovery_prefix, const std::string& machine,
                  const std::string& fleet, const std::string& unique_id) {
    const std::string base = prefix + "/" + machine;
    return {machine,
            unique_id,
            base + "/state",
            base + "/set",
            prefix + "/" + fleet + "/set",
            base + "/availability",
            discovery_prefix + "/light/" + unique_id + "/config",
            discovery_prefix + "/status",
            discovery_prefix + "/light/kav_morv_led_" + machine + "/config"};
}

std::string discovery_config(const Topics& topics, const Effects& effects) {
    Json effect_list = Json::array({kBlink});
    for (const auto& [name, pattern] : effects) {
        effect_list.push_back(name);
    }
    // The entity takes the device's name (name null); commands come at QoS 1, so that each is
    // acknowledged at once and the broker never holds the next one back for it.
    return Json{{"name", nullptr},
                {"unique_id", topics.unique_id},
                {"schema", "json"},
                {"command_topic", topics.command},
                {"state_topic", topics.state},
                {"availability_topic", topics.availability},
                {"payload_available", kOnline},
                {"payload_not_available", kOffline},
                {"qos", 1},
                {"supported_color_modes", {"rgb"}},
                {"brightness", false},
                {"effect", true},
                {"effect_list", effect_list},
                {"flash_time_short", kFlashShortS},
                {"flash_time_long", kFlashLongS},
                {"device",
                 {{"identifiers", {topics.unique_id}},
                  {"name", topics.machine + " LED"},
                  {"manufacturer", "KAV MORV LED"},
                  {"model", "KAV MORV LED"},
                  {"sw_version", KAV_MORV_LED_VERSION_TEXT}}}}
        .dump();
}

std::vector<std::string> earlier_topics(std::string_view retained_config, const Topics& topics) {
    const Json config = Json::parse(retained_config, nullptr, false);
    if (!config.is_object() || config.value("unique_id", Json()) != topics.unique_id) {
        return {};
    }
    // Only what this light's state and availability topics can have been: a retained config
    // someone else wrote cannot make the bridge clear another's topics.
    const auto earlier_one = [&config](const char* key, const std::string& ours, const std::string& ending) {
        const Json named = config.value(key, Json());
        const std::string topic = named.is_string() ? named.get<std::string>() : ours;
        const bool fits = topic.size() > ending.size() &&
                          topic.compare(topic.size() - ending.size(), ending.size(), ending) == 0 &&
                          topic.find_first_of("+#") == std::string::npos && topic.front() != '$';
        return fits && topic != ours ? std::optional<std::string>(topic) : std::nullopt;
    };
    std::vector<std::string> earlier;
    for (const std::optional<std::string>& topic :
         {earlier_one("state_topic", topics.state, "/state"),
          earlier_one("availability_topic", topics.availability, "/availability")}) {
        if (topic) {
            earlier.push_back(*topic);
        }
    }
    return earlier;
}

}  // namespace light
