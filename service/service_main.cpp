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

#include <csignal>
#include <memory>
#include <optional>
#include <string>

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

int serve(const Settings& settings, const service::Lifecycle& lifecycle) {
    const std::string address = endpoint::address(settings.endpoint);
    asio::io_context io;
    std::string why_not;
    // Claimed before anything else, so that a second instance leaves the first one's LED alone.
    const std::unique_ptr<service::Listener> listener =
        service::claim_endpoint(io, settings.endpoint, settings.group, why_not);
    if (!listener) {
        return refuse("cannot serve " + address, why_not);
    }
    service::StateFile state(settings.state_file);
    service::LedOutput led;
    if (!led.start(why_not)) {
        return refuse("the LED cannot be driven", why_not);
    }
    service::Server server(io, led, state);
    restore(server, state);
    state.start();
    asio::signal_set stop_requests(io, SIGINT, SIGTERM);
    stop_requests.async_wait([&io](const asio::error_code& error, int) {
        if (!error) {
            io.stop();
        }
    });
    // Clients are served once the LED shows what the service says, not before.
    server.start([&] {
        listener->serve(server);
        service::log("serving on " + address);
        lifecycle.serving([&io] { io.stop(); });
    });
    io.run();
    listener->close();
    led.stop();
    state.stop();
    service::log("stopped");
    return 0;
}

// The options an installed service is started with: those given with install.
std::string installed_options(const CLI::App& app, const Settings& settings) {
    std::string options;
    if (app.count("--endpoint") > 0) {
        options += " --endpoint \"" + settings.endpoint + "\"";
    }
    if (app.count("--state") > 0) {
        options += " --state \"" + settings.state_file + "\"";
    }
    return options;
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
    app.add_flag("--foreground", foreground, "Run in this console until Ctrl-C or SIGTERM");
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
        return service::install_service(installed_options(app, settings));
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
