// kav_morv_led_service: owns the LED and shows what local programs ask of it, by priority, over a
// local endpoint (docs/protocol.md). The only process that calls the library's Init, SetLED and
// DeInit while it runs. Runs in a console (--foreground) or under the system's service manager.
#include "command_line.h"
#include "endpoint.h"
#include "led_output.h"
#include "listener.h"
#include "log.h"
#include "program_entry.h"
#include "server.h"
#include "state_file.h"
#include "system.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Settings {
    std::string endpoint = endpoint::configured();
    std::string state_file = service::default_state_file();
    std::string group = service::kDefaultEndpointGroup;
};

int refuse(const std::string& what, const std::string& why) {
    service::log(what + ": " + why);
    return 1;
}

// Puts back what the state file holds; a file that is not to be trusted is set aside, never used.
void restore(service::Server& server, const service::StateFile& state) {
    std::string why;
    const std::optional<std::string> text = state.read(why);
    if (!text) {
        if (!why.empty()) {
            service::log("cannot read the state file " + state.path() + " (" + why + "); nothing is restored");
        }
        return;
    }
    if (!server.restore(*text, why)) {
        state.set_aside();
        service::log("the state file " + state.path() + " is not to be trusted (" + why + "); set aside as " +
                     state.path() + ".corrupt, nothing is restored");
    }
}

// The signals that would end the service by default are all caught, so that none can end it
// between the four lines of a change or without DeInit: these stop it as it should stop...
void stop_on(asio::signal_set& stops, asio::io_context& io) {
    stops.async_wait([&io](const asio::error_code& error, int) {
        if (!error) {
            io.stop();
        }
    });
}

// ...and these it ignores, saying so.
void ignore(asio::signal_set& ignored) {
    ignored.async_wait([&ignored](const asio::error_code& error, int signal) {
        if (!error) {
            service::log("signal " + std::to_string(signal) + " ignored; stop the service with " +
                         service::kHowToStop);
            ignore(ignored);
        }
    });
}

int serve(const Settings& settings, const service::Lifecycle& lifecycle) {
    const std::string address = endpoint::address(settings.endpoint);
    asio::io_context io;
    asio::signal_set stops(io);
    asio::signal_set ignored(io);
    for (const int signal : service::stop_signals()) {
        stops.add(signal);
    }
    for (const int signal : service::ignored_signals()) {
        ignored.add(signal);
    }
    std::string why_not;
    // Claimed before anything else, so that a second instance leaves the first one's LED alone.
    const std::unique_ptr<service::Listener> listener =
        service::claim_endpoint(io, settings.endpoint, settings.group, why_not);
    if (!listener) {
        return refuse("cannot serve " + address, why_not);
    }
    service::StateFile state(settings.state_file);
    const std::string unusable = state.unusable();
    if (!unusable.empty()) {
        return refuse("the state file " + settings.state_file + " cannot be used", unusable);
    }
    service::LedOutput led;
    if (!led.start(why_not)) {
        return refuse("the LED cannot be driven", why_not + service::kWithoutHardware);
    }
    service::Server server(io, led, state);
    restore(server, state);
    state.start();
    stop_on(stops, io);
    ignore(ignored);
    // Clients are served once the LED shows what the service says, not before.
    server.start([&] {
        listener->serve(server);
        service::log("serving on " + address);
        lifecycle.serving([&io] { io.stop(); });
    });
    io.run();
    // Every connection is closed before the server goes; what their handlers still hold is let go
    // with the event loop, and refers to nothing else.
    listener->close();
    server.connections().close_all();
    led.stop(server.stop());
    state.stop();
    service::log("stopped");
    return 0;
}

// The arguments an installed service is started with: the options given with install.
std::vector<std::string> installed_arguments(const CLI::App& app, const Settings& settings) {
    std::vector<std::string> arguments;
    if (app.count("--endpoint") > 0) {
        arguments.insert(arguments.end(), {"--endpoint", settings.endpoint});
    }
    if (app.count("--state") > 0) {
        arguments.insert(arguments.end(), {"--state", settings.state_file});
    }
    return arguments;
}

}  // namespace

int program_main(int argc, char** argv) {
    CLI::App app(
        "Owns the LED and shows what local programs ask of it, by priority. Clients talk to it "
        "with kav_morv_ledctl, or any program, in the protocol of docs/protocol.md.",
        "kav_morv_led_service");
    Settings settings;
    bool foreground = false;
    bool under_service_manager = false;
    app.add_flag("--foreground", foreground, std::string("Run in this console until ") + service::kHowToStop);
    app.add_flag("--service", under_service_manager, "How the system's service manager starts it")
        ->group("");  // not for people
    app.add_option("--endpoint", settings.endpoint,
                   "Where to listen: a socket path on POSIX, a pipe name on Windows (also KAV_MORV_LED_ENDPOINT)")
        ->capture_default_str();
    app.add_option("--state", settings.state_file, "The file that keeps what is asked across restarts")
        ->capture_default_str();
    if (service::kEndpointHasGroup) {
        app.add_option("--group", settings.group, "The group whose members may use the socket, beside root")
            ->capture_default_str();
    }
    CLI::App* install = app.add_subcommand("install", "Install it as a system service that starts at boot");
    CLI::App* uninstall = app.add_subcommand("uninstall", "Stop the installed system service and remove it");
    app.fallthrough();
    app.require_subcommand(0, 1);
    if (const std::optional<int> status = command_line::parse(app, argc, argv)) {
        return *status;
    }
    const auto serve_with_settings = [&settings](const service::Lifecycle& lifecycle) {
        return serve(settings, lifecycle);
    };
    if (install->parsed()) {
        const std::string unfit = service::unfit_endpoint(settings.endpoint);
        if (!unfit.empty()) {
            return refuse("cannot install it to serve " + endpoint::address(settings.endpoint), unfit);
        }
        return service::install_service(installed_arguments(app, settings));
    }
    if (uninstall->parsed()) {
        return service::uninstall_service();
    }
    if (under_service_manager) {
        return service::run_as_system_service(serve_with_settings);
    }
    if (!foreground) {
        static_cast<void>(
            std::fprintf(stderr,
                         "kav_morv_led_service: say --foreground to run it in this console, or install it\n"
                         "Run 'kav_morv_led_service --help' for how to use it.\n"));
        return command_line::kUsageError;
    }
    return serve_with_settings(service::Lifecycle{[](const std::function<void()>&) {}});
}
