// This PC's LED as a light of Home Assistant's MQTT JSON schema, or of any dashboard that speaks
// it: what a command on the set topics asks of the LED service, the light's state from what the
// service says shows, the discovery config, and the names the light goes by on the broker. Pure: no
// broker, no service, so tests drive it. Whatever a command holds is checked: a payload that is not
// what the schema allows is refused with why, never half carried out.
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
// Home Assistant's flash lengths, as the discovery config offers them and its commands give them
// back, in seconds; a command may give any whole number from 1 to kMostFlashS.
constexpr std::uint32_t kFlashShortS = 2;
constexpr std::uint32_t kFlashLongS = 10;
constexpr std::uint32_t kMostFlashS = 3600;
// What a command may be: its bytes, and how deep its JSON may nest.
constexpr std::size_t kMaxPayloadBytes = 4096;
constexpr int kMaxNesting = 4;
// The availability topic's two payloads, the last will's among them.
constexpr std::string_view kOnline = "online";
constexpr std::string_view kOffline = "offline";

// Named patterns offered as effects beside blink: {"alarm": "red:100 off:100"}.
using Effects = std::map<std::string, std::vector<protocol::Step>>;

// The effects a file's JSON text names; none, with why, when it is not such a file.
std::optional<Effects> read_effects(std::string_view text, std::string& why_not);

// The LED's colour nearest to an RGB one, its brightness set aside: the channels are scaled until
// the brightest is full, then the nearest of the seven lit colours is taken (white for black).
LedColorCode nearest_color(double red, double green, double blue);

// What a command asks of the LED service: requests in order (clearing the flash, then setting),
// and notes for the log (a transition ignored, say).
struct LedChange {
    std::vector<protocol::Request> requests;
    std::vector<std::string> notes;
};

// Reads commands into changes of the LED, remembering the colour the light was last set to, which a
// command without a colour keeps (Home Assistant's "turn on" sends none).
class CommandReader {
public:
    CommandReader(const Effects& effects, std::uint8_t priority) : effects_(effects), priority_(priority) {}
    // What `payload` asks; none, with why, when it is not a command this light takes.
    std::optional<LedChange> read(std::string_view payload, std::string& why_not);

private:
    protocol::Request request(protocol::Command command, const char* name) const;

    const Effects& effects_;
    std::uint8_t priority_;
    LedColorCode last_color_ = LED_COLOR_WHITE;
};

// The light's state, as the JSON the state topic carries, from a status reply's payload: on with
// the colour shown, or off; its effect the offered one that runs, else null, so that Home Assistant
// sees an effect end. None when the payload is not a status.
std::optional<std::string> state_of(std::string_view status_payload, const Effects& effects);

// Who the light is, from the machine's own id (empty when the system has none) and name: the same
// light whatever the host is called, unless the name was given (two bridges of one machine are two
// lights then). Neither gives the machine's id away.
struct Identity {
    std::string unique_id;  // published, in the discovery config and its topic
    std::string client_id;  // never published, so that no reader of the broker can take the session
};
Identity identity_of(const std::string& machine_id, const std::string& machine, bool named);

// Where the light is on the broker.
struct Topics {
    std::string machine;  // this PC's name in the topics
    std::string unique_id;
    std::string state, command, fleet_command, availability, config, birth;
    std::string earlier_config;  // where versions that keyed the discovery config by name put it
};
Topics topics_for(const std::string& prefix, const std::string& discovery_prefix, const std::string& machine,
                  const std::string& fleet, const std::string& unique_id);

// Home Assistant's discovery config for the light, as JSON.
std::string discovery_config(const Topics& topics, const Effects& effects);

// The state and availability topics a retained discovery config of this light names, when they
// are not those of `topics` (the light was renamed): what the bridge clears, so that no dead light
// stays behind. Nothing for a config of another light or one that names no such topics.
std::vector<std::string> earlier_topics(std::string_view retained_config, const Topics& topics);

}  // namespace light
