// kav_morv_led_mqtt: this PC's LED as a light of Home Assistant's, or of any dashboard that speaks
// MQTT, through a broker. It publishes the light's discovery config (again whenever Home Assistant
// says it is back), its state (from the LED service's change events, so that a change made locally
// shows at once) and its availability, all retained, with a last will; and turns commands into the
// indications "mqtt" and "mqtt_flash", so that a local alarm of higher priority still wins. Topics
// carry the machine's name; every bridge of a fleet also takes the commands sent to the fleet's
// topic. `withdraw` takes the light off the broker. A client of the LED service like any other: it
// speaks the protocol, nothing more.
#include "broker_link.h"
#include "command_line.h"
#include "endpoint.h"
#include "led_link.h"
#include "light.h"
#include "line_log.h"
#include "program_entry.h"
#include "settings.h"
#include "system.h"
#include "trusted_file.h"

#include <CLI/CLI.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kProgram = "kav_morv_led_mqtt";
// How long a bridge that stops waits for the broker to take its "offline", and withdraw for the
// broker to take the light away.
constexpr std::chrono::seconds kLastWordWait{5};
constexpr std::chrono::seconds kWithdrawWait{10};

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
    why_not = bridge::settings_refusal(settings);
    return why_not.empty();
}

// Where the light is, and how the bridge reaches the broker, from complete settings.
struct Light {
    light::Identity identity;
    light::Topics topics;
    bridge::BrokerLink::Options broker;
};

Light light_of(const bridge::Settings& settings, bool named) {
    std::string why_not;
    const light::Identity identity = light::identity_of(bridge::machine_id(), settings.machine, named);
    return {identity,
            light::topics_for(settings.topic_prefix, settings.discovery_prefix, settings.machine, settings.fleet,
                              identity.unique_id),
            {*bridge::broker_address(settings.broker, why_not),
             {settings.ca_file, settings.certificate, settings.key},
             settings.user,
             settings.password,
             identity.client_id,
             {}}};
}

// What the broker has been told of the light, so that a broker that comes back is told it again:
// the last state, and whether the light is available: the LED service reached and its state read,
// and the broker letting the bridge take commands (unknown on each connection until it answers the
// subscriptions, so that the light never shows online only to go offline a moment later). The
// availability is handed to `publish` under the lock, so that two threads' news leave in order.
class LightReports {
public:
    using Publish = std::function<void(const std::string& availability)>;
    explicit LightReports(Publish publish) : publish_(std::move(publish)) {}

    std::optional<std::string> state(const std::optional<std::string>& now) {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (now) {
            state_ = now;
        }
        return state_;
    }
    // Published when it changes the light's availability.
    void led_available(bool available) {
        const std::lock_guard<std::mutex> guard(mutex_);
        const bool was = available_locked();
        led_available_ = available;
        if (was != available_locked()) {
            publish_locked();
        }
    }
    void connected() {
        const std::lock_guard<std::mutex> guard(mutex_);
        commands_taken_.reset();
    }
    // Published always: a broker that comes back may have lost it, or the last will replaced it.
    void commands_taken(bool taken) {
        const std::lock_guard<std::mutex> guard(mutex_);
        commands_taken_ = taken;
        publish_locked();
    }

private:
    bool available_locked() const { return led_available_ && commands_taken_.value_or(false); }
    void publish_locked() { publish_(std::string(available_locked() ? light::kOnline : light::kOffline)); }

    Publish publish_;
    std::mutex mutex_;
    std::optional<std::string> state_;
    bool led_available_ = false;
    std::optional<bool> commands_taken_;
};

int run(bridge::Settings settings, const std::string& settings_file, const std::vector<std::string>& given,
        const bridge::Supervisor& supervisor) {
    std::string why_not;
    bool named = false;
    if (!complete(settings, settings_file, given, named, why_not)) {
        program_support::log(why_not);
        return command_line::kUsageError;
    }
    light::Effects effects;
    if (!settings.effects.empty()) {
        const std::optional<std::string> text =
            bridge::read_trusted_file(settings.effects, bridge::Secrecy::kPublic, bridge::kMostFileBytes, why_not);
        const std::optional<light::Effects> read = text ? light::read_effects(*text, why_not) : std::nullopt;
        if (!read) {
            program_support::log("--effects " + settings.effects + ": " + why_not);
            return command_line::kUsageError;
        }
        effects = *read;
    }
    Light light = light_of(settings, named);
    const light::Topics& topics = light.topics;
    light.broker.will_topic = topics.availability;

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
        program_support::log(why + "; stopping, so that it is started again");
        asio::post(io, [&io, &status] {
            status = 1;
            io.stop();
        });
    };

    bridge::BrokerLink* broker_link = nullptr;  // made below, with callbacks that use the reports
    LightReports reports([&broker_link, &topics](const std::string& availability) {
        broker_link->publish(topics.availability, availability, true);
    });
    program_support::RationedLog ignored;  // what publishers send that is not carried out
    light::CommandReader reader(effects, static_cast<std::uint8_t>(std::stoi(settings.priority)));
    std::unique_ptr<bridge::LedLink> led;
    const std::string about_broker = light.broker.address.text();
    bridge::BrokerLink broker(
        light.broker,
        {[&] {
             reports.connected();
             for (const std::string& topic : {topics.command, topics.fleet_command, topics.birth, topics.config}) {
                 broker.subscribe(topic);
             }
             // Everything again: the broker may have lost what was retained.
             broker.publish(topics.earlier_config, "", true);
             broker.publish(topics.config, light::discovery_config(topics, effects), true);
             if (const std::optional<std::string> state = reports.state(std::nullopt)) {
                 broker.publish(topics.state, *state, true);
             }
         },
         [&](const std::vector<std::string>& refused) {
             const bool deaf = std::find(refused.begin(), refused.end(), topics.command) != refused.end();
             if (deaf) {
                 program_support::log("the light is unavailable while the broker at " + about_broker +
                             " will not let the bridge take commands on " + topics.command);
             }
             reports.commands_taken(!deaf);
         },
         [&](const std::string& topic, std::string_view payload, bool retained) {
             if (topic == topics.birth) {
                 if (payload == light::kOnline) {
                     broker.publish(topics.config, light::discovery_config(topics, effects), true);
                 }
                 return;
             }
             if (topic == topics.config) {
                 // What a previous run left under another name, said by its config.
                 for (const std::string& earlier :
                      retained ? light::earlier_topics(payload, topics) : std::vector<std::string>()) {
                     program_support::log("clearing " + earlier + ", where this light was under an earlier name");
                     broker.publish(earlier, "", true);
                 }
                 return;
             }
             if (retained) {
                 ignored.log("retained commands", "a retained command on " + topic +
                             " is not carried out: it would be again each time the bridge connects");
                 return;
             }
             std::string why_ignored;
             std::optional<light::LedChange> change = reader.read(payload, why_ignored);
             if (!change) {
                 ignored.log("commands not taken", "a command on " + topic + " is ignored: " + why_ignored);
                 return;
             }
             const std::string about_command = "a command on " + topic + ": ";
             for (const std::string& note : change->notes) {
                 ignored.log("notes on commands", about_command + note);
             }
             led->carry_out(std::move(*change));
         },
         fail});
    broker_link = &broker;
    led = std::make_unique<bridge::LedLink>(
        settings.endpoint, effects,
        bridge::LedLink::Outputs{
            [&](const std::string& state) { broker.publish(topics.state, *reports.state(state), true); },
            [&](bool available) { reports.led_available(available); }});
    // Said first, so that the log reads in order: what it bridges, then each side's news.
    program_support::log("bridging the LED service at " + endpoint::address(settings.endpoint) + " and the broker at " +
                about_broker + " as " + topics.machine);
    if (!broker.start(why_not)) {
        program_support::log(why_not);
        return command_line::kUsageError;
    }
    led->start();
    supervisor.running([&io] { asio::post(io, [&io] { io.stop(); }); });
    const auto keep = asio::make_work_guard(io);
    io.run();
    program_support::log("stopping");
    // The broker first: the LED service's requests may wait out their deadline.
    broker.finish({{topics.availability, std::string(light::kOffline), true}},
                  std::chrono::steady_clock::now() + kLastWordWait);
    led->stop();
    return status;
}

// Takes the light off the broker: its discovery config, state and availability retained no more,
// so that no dead light stays in a dashboard.
int withdraw(bridge::Settings settings, const std::string& settings_file, const std::vector<std::string>& given) {
    std::string why_not;
    bool named = false;
    if (!complete(settings, settings_file, given, named, why_not)) {
        program_support::log(why_not);
        return command_line::kUsageError;
    }
    Light light = light_of(settings, named);
    const light::Topics& topics = light.topics;
    light.broker.client_id.clear();  // not the bridge's: one that runs still is not thrown off
    std::mutex mutex;
    std::condition_variable connected_changed;
    bool connected = false;
    bridge::BrokerLink broker(
        light.broker, {[&] {
                           const std::lock_guard<std::mutex> guard(mutex);
                           connected = true;
                           connected_changed.notify_all();
                       },
                       [](const std::vector<std::string>&) {}, [](const std::string&, std::string_view, bool) {},
                       [](const std::string&) {}});
    if (!broker.start(why_not)) {
        program_support::log(why_not);
        return command_line::kUsageError;
    }
    const auto until = std::chrono::steady_clock::now() + kWithdrawWait;
    {
        std::unique_lock<std::mutex> lock(mutex);
        connected_changed.wait_until(lock, until, [&connected] { return connected; });
    }
    std::vector<bridge::BrokerLink::Message> cleared;
    for (const std::string& topic : {topics.config, topics.earlier_config, topics.state, topics.availability}) {
        cleared.push_back({topic, "", true});
    }
    if (!broker.finish(cleared, until)) {
        program_support::log("the light " + topics.machine + " is still on the broker at " + light.broker.address.text() +
                    ": it did not take it away within " + std::to_string(kWithdrawWait.count()) + " s");
        return 1;
    }
    program_support::log("took the light " + topics.machine + " off the broker at " + light.broker.address.text() +
                ": its discovery config, state and availability are retained no more");
    return 0;
}

}  // namespace

int program_main(int argc, char** argv) {
    program_support::log_as(kProgram);
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
    const CLI::App* withdrawing =
        app.add_subcommand("withdraw",
                           "Take this PC's light off the broker (its discovery config, state and availability retained "
                           "no more), so that Home Assistant forgets it; with the settings the bridge runs with (those "
                           "given, else " +
                               bridge::system_settings_file() +
                               "). Stop the bridge first: it would "
                               "publish them again")
            ->fallthrough();
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
    if (withdrawing->parsed()) {
        const bool system_settings = settings_file.empty() && settings.broker.empty();
        return withdraw(settings, system_settings ? bridge::system_settings_file() : settings_file, given);
    }
    if (const std::optional<int> status = bridge::run_system_choice(app, settings, run_with)) {
        return *status;
    }
    if (settings_file.empty() && settings.broker.empty()) {
        static_cast<void>(std::fprintf(stderr,
                                       "%s: --broker or --settings is required\nRun '%s --help' for how to use it.\n",
                                       kProgram, kProgram));
        return command_line::kUsageError;
    }
    return run_with(settings, settings_file, bridge::Supervisor{[](const std::function<void()>&) {}});
}
