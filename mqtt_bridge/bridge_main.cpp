// kav_morv_led_mqtt: this PC's LED as a light of Home Assistant's, or of any dashboard that speaks
// MQTT, through a broker. It publishes the light's discovery config (again whenever Home Assistant
// says it is back), its state (from the LED service's change events, so that a change made locally
// shows at once) and its availability, all retained, with a last will; and turns commands into the
// indications "mqtt" and "mqtt_flash", so that a local alarm of higher priority still wins. Topics
// carry the machine's name; every bridge of a fleet also takes the commands sent to the fleet's
// topic. A client of the LED service like any other: it speaks the protocol, nothing more.
#include "bridge_log.h"
#include "broker.h"
#include "command_line.h"
#include "endpoint.h"
#include "led_link.h"
#include "light.h"
#include "program_entry.h"
#include "settings.h"
#include "system.h"
#include "trusted_file.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kProgram = "kav_morv_led_mqtt";
constexpr int kLastWordWaitMs = 5000;

// Fills in what was not given: the settings file's, the credentials' and the system's.
// `named`: whether the machine's name was given rather than taken from the host's.
bool complete(bridge::Settings& settings, const std::string& settings_file, const std::vector<std::string>& given,
              bool& named, std::string& why_not) {
    if (!settings_file.empty()) {
        // Read as a secret whatever it holds: it may hold a password now or after the next configure.
        const std::optional<std::string> text =
            bridge::read_trusted_file(settings_file, bridge::Secrecy::kSecret, bridge::kMostFileBytes, why_not);
        if (!text) {
            return false;
        }
        if (!bridge::read_settings(*text, given, settings, why_not)) {
            why_not = "the settings file " + settings_file + ": " + why_not;
            return false;
        }
    }
    if (!settings.credentials.empty()) {
        const std::optional<std::string> text =
            bridge::read_trusted_file(settings.credentials, bridge::Secrecy::kSecret, bridge::kMostFileBytes, why_not);
        if (!text) {
            return false;
        }
        if (!bridge::read_credentials(*text, settings.user, settings.password, why_not)) {
            why_not = "the credentials file " + settings.credentials + ": " + why_not;
            return false;
        }
    } else if (settings.user.empty()) {
        const char* user = std::getenv("KAV_MORV_LED_MQTT_USER");
        const char* password = std::getenv("KAV_MORV_LED_MQTT_PASSWORD");
        settings.user = user != nullptr ? user : "";
        settings.password = password != nullptr ? password : "";
    }
    // libmosquitto reads the key itself; it is looked at first as any secret is.
    if (!settings.key.empty() &&
        !bridge::read_trusted_file(settings.key, bridge::Secrecy::kSecret, bridge::kMostFileBytes, why_not)) {
        return false;
    }
    named = !settings.machine.empty();
    if (!named) {
        settings.machine = bridge::machine_name_of(bridge::host_name());
    }
    if (settings.endpoint.empty()) {
        settings.endpoint = endpoint::configured();
    }
    why_not = bridge::unfit(settings);
    if (why_not.empty() && !bridge::kSystemAuthorities && settings.ca_file.empty() &&
        settings.broker.rfind("mqtts://", 0) == 0) {
        why_not = "mqtts:// needs --ca-file here: the authority that signed the broker's certificate, as a PEM file "
                  "(this system's own authorities are in a store OpenSSL does not read)";
    }
    return why_not.empty();
}

// The light's state and availability as last reported, so that a broker that comes back is told
// them again, and availability is published only when it changes.
class Shown {
public:
    std::optional<std::string> state(const std::optional<std::string>& now) {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (now) {
            state_ = now;
        }
        return state_;
    }
    // Whether `available` is news.
    bool changed(bool available) {
        const std::lock_guard<std::mutex> guard(mutex_);
        const bool news = available != available_;
        available_ = available;
        return news;
    }
    bool available() {
        const std::lock_guard<std::mutex> guard(mutex_);
        return available_.value_or(false);
    }

private:
    std::mutex mutex_;
    std::optional<std::string> state_;
    std::optional<bool> available_;
};

int run(bridge::Settings settings, const std::string& settings_file, const std::vector<std::string>& given,
        const bridge::Supervisor& supervisor) {
    std::string why_not;
    bool named = false;
    if (!complete(settings, settings_file, given, named, why_not)) {
        bridge::say(why_not);
        return command_line::kUsageError;
    }
    light::Effects effects;
    if (!settings.effects.empty()) {
        const std::optional<std::string> text =
            bridge::read_trusted_file(settings.effects, bridge::Secrecy::kPublic, bridge::kMostFileBytes, why_not);
        const std::optional<light::Effects> read = text ? light::read_effects(*text, why_not) : std::nullopt;
        if (!read) {
            bridge::say("--effects " + settings.effects + ": " + why_not);
            return command_line::kUsageError;
        }
        effects = *read;
    }
    // The machine's own id, so that a renamed host is the same light; with a name given, two bridges
    // of one machine are two lights.
    const std::string machine_id = bridge::machine_id();
    const light::Topics topics = light::topics_for(
        settings.topic_prefix, settings.discovery_prefix, settings.machine, settings.fleet,
        bridge::unique_id_of(machine_id.empty() ? settings.machine : machine_id + (named ? "/" + settings.machine : "")));
    const bridge::BrokerAddress address = *bridge::broker_address(settings.broker, why_not);

    asio::io_context io;
    asio::signal_set stops(io);
    for (const int signal : supervisor.stops_by_signal ? bridge::stop_signals() : std::vector<int>()) {
        stops.add(signal);
    }
    stops.async_wait([&io](const asio::error_code& error, int) {
        if (!error) {
            io.stop();
        }
    });
    int status = 0;
    const auto fail = [&io, &status](const std::string& why) {
        bridge::say(why + "; stopping, so that it is started again");
        asio::post(io, [&io, &status] {
            status = 1;
            io.stop();
        });
    };

    Shown shown;
    bridge::NowAndThen now_and_then;
    light::Commands commands(effects, static_cast<std::uint8_t>(std::stoi(settings.priority)));
    std::unique_ptr<bridge::LedLink> led;
    bridge::Broker broker(
        {address.host, address.port, address.tls, {settings.ca_file, settings.certificate, settings.key}, settings.user,
         settings.password, topics.unique_id, topics.availability},
        {[&] {
             for (const std::string& topic : {topics.command, topics.fleet_command, topics.birth}) {
                 broker.subscribe(topic);
             }
             // Everything again: the broker may have lost what was retained.
             broker.publish(topics.config, light::discovery_config(topics, effects), true);
             if (const std::optional<std::string> state = shown.state(std::nullopt)) {
                 broker.publish(topics.state, *state, true);
             }
             broker.publish(topics.availability, shown.available() ? "online" : "offline", true);
         },
         [&](const std::string& topic, std::string_view payload, bool retained) {
             std::string why_ignored;
             if (topic == topics.birth) {
                 if (payload == "online") {
                     broker.publish(topics.config, light::discovery_config(topics, effects), true);
                 }
                 return;
             }
             if (retained) {
                 now_and_then.say("a retained command on " + topic +
                                  " is not carried out: it would be again each time the bridge connects");
                 return;
             }
             std::optional<light::Command> command = commands.read(payload, why_ignored);
             if (!command) {
                 now_and_then.say("a command on " + topic + " is ignored: " + why_ignored);
                 return;
             }
             const std::string about_command = "a command on " + topic + ": ";
             for (const std::string& note : command->notes) {
                 now_and_then.say(about_command + note);
             }
             led->carry_out(std::move(*command));
         },
         [](const std::string& line) { bridge::say(line); }, fail});
    led = std::make_unique<bridge::LedLink>(
        settings.endpoint, effects,
        bridge::LedLink::Outputs{[&](const std::string& state) { broker.publish(topics.state, *shown.state(state), true); },
                                 [&](bool available) {
                                     if (shown.changed(available)) {
                                         broker.publish(topics.availability, available ? "online" : "offline", true);
                                     }
                                 },
                                 [](const std::string& line) { bridge::say(line); },
                                 [&now_and_then](const std::string& line) { now_and_then.say(line); }});
    // Said first, so that the log reads in order: what it bridges, then each side's news.
    bridge::say("bridging the LED service at " + endpoint::address(settings.endpoint) + " and the broker at " +
                address.host + ":" + std::to_string(address.port) + " as " + topics.machine);
    if (!broker.start(why_not)) {
        bridge::say(why_not);
        return command_line::kUsageError;
    }
    led->start();
    supervisor.running([&io] { asio::post(io, [&io] { io.stop(); }); });
    const auto keep = asio::make_work_guard(io);
    io.run();
    bridge::say("stopping");
    led->stop();
    broker.stop(topics.availability, "offline", kLastWordWaitMs);
    return status;
}

}  // namespace

int program_main(int argc, char** argv) {
    CLI::App app(
        "This PC's LED as a light on an MQTT broker, for Home Assistant or any dashboard: it publishes the light's "
        "discovery config, state and availability, and carries out commands through the LED service.",
        kProgram);
    bridge::Settings settings;
    std::string settings_file;
    app.add_option("--settings", settings_file,
                   "A file of settings as NAME = VALUE lines (these options' names, and user and password), which "
                   "the options override");
    for (const bridge::Field& field : bridge::fields()) {
        if (field.on_command_line) {
            app.add_option(std::string("--") + field.name, settings.*(field.value), field.help);
        }
    }
    bridge::add_system_options(app, settings);
    if (const std::optional<int> status = command_line::parse(app, argc, argv)) {
        return *status;
    }
    std::vector<std::string> given;
    for (const bridge::Field& field : bridge::fields()) {
        if (field.on_command_line && app.count(std::string("--") + field.name) > 0) {
            given.emplace_back(field.name);
        }
    }
    const bridge::Run run_with = [&given](const bridge::Settings& chosen, const std::string& file,
                                          const bridge::Supervisor& supervisor) {
        return run(chosen, file, given, supervisor);
    };
    if (const std::optional<int> status = bridge::run_system_choice(app, settings, run_with)) {
        return *status;
    }
    if (settings_file.empty() && settings.broker.empty()) {
        static_cast<void>(std::fprintf(stderr, "%s: --broker or --settings is required\nRun '%s --help' for how to use it.\n",
                                       kProgram, kProgram));
        return command_line::kUsageError;
    }
    return run_with(settings, settings_file, bridge::Supervisor{[](const std::function<void()>&) {}});
}
