// This PC's LED as a light of Home Assistant's MQTT JSON schema, or of any dashboard that speaks
// it: what a command on the set topics asks of the LED service, the light's state from what the
// service says shows, and the discovery config. Pure: no broker, no service, so tests drive it.
// Whatever a command holds is checked: a payload that is not what the schema allows is refused
// with why, never half carried out.
#pragma once

#include "request.h"

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace light {

// The indications the bridge sets: its own, and a flash's over it, so that a flash ending shows
// again what was beneath it.
constexpr const char* kIndication = "mqtt";
constexpr const char* kFlashIndication = "mqtt_flash";
constexpr const char* kBlink = "blink";
constexpr std::uint32_t kBlinkMs = 500;
// Home Assistant's flash lengths, as the discovery config offers them, in seconds.
constexpr std::uint32_t kFlashShortS = 2;
constexpr std::uint32_t kFlashLongS = 10;
// What a command may be: its bytes, and how deep its JSON may nest.
constexpr std::size_t kMaxPayloadBytes = 4096;
constexpr int kMaxNesting = 4;

// Named patterns offered as effects beside blink: {"alarm": "red:100 off:100"}.
using Effects = std::map<std::string, std::vector<protocol::Step>>;

// The effects a file's JSON text names; none, with why, when it is not such a file.
std::optional<Effects> read_effects(std::string_view text, std::string& why_not);

// The LED's colour nearest to an RGB one, its brightness set aside: the channels are scaled until
// the brightest is full, then the nearest of the seven lit colours is taken (white for black).
LedColorCode nearest_color(double red, double green, double blue);

// What a command asks of the LED service: requests in order (clearing the flash, then setting),
// and notes for the log (a transition ignored, say).
struct Command {
    std::vector<protocol::Request> requests;
    std::vector<std::string> notes;
};

// The bridge's side of commands: the colour the light was last set to, which a command without a
// colour keeps (Home Assistant's "turn on" sends none).
class Commands {
public:
    Commands(const Effects& effects, std::uint8_t priority) : effects_(effects), priority_(priority) {}
    // What `payload` asks; none, with why, when it is not a command this light takes.
    std::optional<Command> read(std::string_view payload, std::string& why_not);

private:
    protocol::Request request(protocol::Command command, const char* name) const;

    const Effects& effects_;
    std::uint8_t priority_;
    LedColorCode last_color_ = LED_COLOR_WHITE;
};

// The light's state, as the JSON the state topic carries, from a status reply's payload: on with
// the colour shown and the effect it is (absent when none of the offered ones), or off. None when
// the payload is not a status.
std::optional<std::string> state_of(std::string_view status_payload, const Effects& effects);

// Where the light is on the broker.
struct Topics {
    std::string machine;  // this PC's name in the topics
    std::string unique_id;
    std::string state, command, fleet_command, availability, config, birth;
};
Topics topics_for(const std::string& prefix, const std::string& discovery_prefix, const std::string& machine,
                  const std::string& fleet, const std::string& unique_id);

// Home Assistant's discovery config for the light, as JSON.
std::string discovery_config(const Topics& topics, const Effects& effects);

}  // namespace light
