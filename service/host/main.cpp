// kav_morv_led_service: owns the LED and shows what local programs ask of it, by priority, over a
// local endpoint (docs/protocol.md). The only process that calls the library's Init, SetLED and
// DeInit while it runs. Runs in a console (--foreground) or under the system's service manager.
#include "command_line.h"
#include "endpoint.h"
#include "led_thread.h"
#include "listener.h"
#include "log.h"
#include "program_entry.h"
#include "server.h"
#include "state_file.h"
#include "system.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

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
            service::log("signal " + std::to_string(signal) + " ignored; stop the service with " + service::kHowToStop);
            ignore(ignored);
        }
    });
}

// A signal the system will not let the service catch (one a debugger such as valgrind keeps for
// itself) is left as it is, saying so.
void catch_signals(asio::signal_set& caught, const std::vector<int>& signals) {
    for (const int signal : signals) {
        asio::error_code error;
        caught.add(signal, error);
        if (error) {
            service::log("signal " + std::to_string(signal) + " cannot be caught here (" + error.message() +
                         "); it is left as the system has it");
        }
    }
}

int serve(const service::Settings& settings, const service::Supervisor& supervisor) {
    const std::string address = endpoint::address(settings.endpoint);
    asio::io_context io;
    // Caught from here on; acted on once the event loop runs.
    asio::signal_set stops(io);
    asio::signal_set ignored(io);
    catch_signals(stops, service::stop_signals());
    catch_signals(ignored, service::ignored_signals());
    std::string why_not;
    // Claimed before anything else, so that a second instance leaves the first one's LED alone.
    const std::unique_ptr<service::Listener> listener =
        service::claim_endpoint(io, settings.endpoint, settings.group, why_not);
    if (!listener) {
        return refuse("cannot serve " + address, why_not);
    }
    // Let go of only once its thread has ended: a write that hangs keeps it (see stop()).
    auto state_file = std::make_unique<service::StateFile>(settings.state_file);
    service::StateFile& state = *state_file;
    const std::string unusable = state.unusable();
    if (!unusable.empty()) {
        return refuse("the state file " + settings.state_file + " cannot be used", unusable);
    }
    service::LedThread led;
    if (!led.start(why_not)) {
        return refuse("the LED cannot be driven", why_not + service::kWithoutHardware);
    }
    service::Server server(
        io, {[&led](LedColorCode code, service::Server::Shown shown) { led.show(code, std::move(shown)); },
             [&led](service::LedThread::ReadBack done) { led.read_back(std::move(done)); },
             [&state](std::string text, service::Server::Saved saved) {
                 state.save(std::move(text), std::move(saved));
             }});
    restore(server, state);
    state.start();
    stop_on(stops, io);
    ignore(ignored);
    // Clients are served once the LED shows what the service says, not before.
    server.start([&] {
        listener->serve(server);
        service::log("serving on " + address);
        supervisor.serving([&io] { io.stop(); });
    });
    io.run();
    // Every connection is closed before the server goes; what their handlers still hold is let go
    // with the event loop, and refers to nothing else.
    listener->close();
    server.connections().close_all();
    led.stop(server.stop());
    if (!state.stop()) {
        service::log("the state file's last write did not end within " +
                     std::to_string(service::kLastWriteWait.count()) + " s; stopping without it");
        static_cast<void>(state_file.release());  // its thread may still use it
    }
    service::log("stopped");
    return 0;
}

}  // namespace

int program_main(int argc, char** argv) {
    CLI::App app(
        "Owns the LED and shows what local programs ask of it, by priority. Clients talk to it "
        "with kav_morv_ledctl, or any program, in the protocol of docs/protocol.md.",
        "kav_morv_led_service");
    service::Settings settings = service::default_settings();
    bool foreground = false;
    app.add_flag("--foreground", foreground, std::string("Run in this console until ") + service::kHowToStop);
    app.add_option("--endpoint", settings.endpoint,
                   "Where to listen: a socket path on POSIX, a pipe name on Windows (also KAV_MORV_LED_ENDPOINT)")
        ->capture_default_str();
    app.add_option("--state", settings.state_file, "The file that keeps what is asked across restarts")
        ->capture_default_str();
    service::add_system_options(app, settings);
    if (const std::optional<int> status = command_line::parse(app, argc, argv)) {
        return *status;
    }
    const service::Serve serve_with_settings = [&settings](const service::Supervisor& supervisor) {
        return serve(settings, supervisor);
    };
    if (const std::optional<int> status = service::run_system_choice(app, settings, serve_with_settings)) {
        return *status;
    }
    if (!foreground) {
        static_cast<void>(std::fprintf(stderr,
                                       "kav_morv_led_service: %s\n"
                                       "Run 'kav_morv_led_service --help' for how to use it.\n",
                                       service::kHowToRun));
        return command_line::kUsageError;
    }
    // The console is told nothing: Ctrl-C reaches the service as a signal.
    return serve_with_settings(service::Supervisor{[](const std::function<void()>&) {}});
}
