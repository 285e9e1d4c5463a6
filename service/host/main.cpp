// kav_morv_led_service: owns the LED and shows what local programs ask of it, by priority, over a
// local endpoint (docs/protocol.md). The only process that calls the library's Init, SetLED and
// DeInit while it runs. Runs in a console (--foreground) or under the system's service manager.
#include "command_line.h"
#include "endpoint.h"
#include "led_thread.h"
#include "line_log.h"
#include "listener.h"
#include "platform.h"
#include "program_entry.h"
#include "server.h"
#include "state_store.h"
#include "status_thread.h"
#include "system.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

int refuse(const std::string& what, const std::string& why) {
    program_support::log(what + ": " + why);
    return 1;
}

// Puts back what the state file and its journal hold; files that are not to be trusted are set
// aside, never used.
void restore(service::Server& server, const service::StateStore& state) {
    std::string why;
    const std::optional<std::string> text = state.read_state(why);
    if (!text && !why.empty()) {
        program_support::log("cannot read the state file " + state.path() + " (" + why + "); nothing is restored");
        return;
    }
    const std::optional<std::string> journal = state.read_journal(why);
    if (!journal && !why.empty()) {
        program_support::log("cannot read the state file's journal " + state.journal_path() + " (" + why +
                             "); nothing is restored");
        return;
    }
    bool torn_record = false;
    if (!server.restore(text, journal.value_or(""), torn_record, why)) {
        state.set_aside();
        program_support::log("the state file " + state.path() + " is not to be trusted (" + why + "); set aside as " +
                             state.path() + ".corrupt, nothing is restored");
    } else if (torn_record) {
        program_support::log(
            "the last record of the state file's journal " + state.journal_path() +
            " was cut short, as by a crash while it was written; its change, never answered, is left out");
    }
}

// The signals that would end the service by default are all caught, so that none can end it
// between the four lines of a change or without DeInit: these stop it as it should stop...
void stop_on(asio::signal_set& stops, const std::function<void()>& stop) {
    stops.async_wait([stop](const asio::error_code& error, int) {
        if (!error) {
            stop();
        }
    });
}

// ...and these it ignores, saying so.
void ignore(asio::signal_set& ignored) {
    ignored.async_wait([&ignored](const asio::error_code& error, int signal) {
        if (!error) {
            program_support::log("signal " + std::to_string(signal) + " ignored; stop the service with " +
                                 service::kHowToStop);
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
            program_support::log("signal " + std::to_string(signal) + " cannot be caught here (" + error.message() +
                                 "); it is left as the system has it");
        }
    }
}

// How often a service told to wait for its LED tries again.
constexpr std::chrono::seconds kLedRetry{10};

// Starts the LED. With --wait-for-led, a LED that cannot be driven yet (its driver libraries not
// installed) is tried again every kLedRetry, saying once what is missing and where it goes (and
// telling `waiting` so, for the clients), until it starts (true) or the service is stopped
// meanwhile (false, nothing said).
bool start_led(service::LedThread& led, const service::Settings& settings, const service::Supervisor& supervisor,
               asio::io_context& io, const std::function<void()>& stop, const std::atomic<bool>& stopping,
               const std::function<void(const std::string&)>& waiting, std::string& refusal) {
    refusal.clear();
    std::string why_not;
    if (led.start(why_not)) {
        return true;
    }
    if (!settings.wait_for_led) {
        refusal = why_not + service::kWithoutHardware;
        return false;
    }
    supervisor.serving(stop);  // waiting is running, as far as its manager knows
    const std::string what = "the LED cannot be driven yet (" + why_not +
                             "). Put WinIo64.dll, with its driver, and inpoutx64.dll in " +
                             platform::own_module_folder() + ": the service tries again every " +
                             std::to_string(kLedRetry.count()) + " s, and serves once they are there";
    program_support::log(what);
    waiting(what);
    bool started = false;
    asio::steady_timer retry(io);
    std::function<void()> try_again = [&] {
        retry.expires_after(kLedRetry);
        retry.async_wait([&](const asio::error_code& error) {
            if (!error && !(started = led.start(why_not))) {
                try_again();
            } else if (started) {
                io.stop();
            }
        });
    };
    try_again();
    io.run();
    io.restart();
    if (started && stopping) {
        led.stop();  // asked to stop while the LED started: its Init is undone
        return false;
    }
    if (started) {
        program_support::log("the LED can be driven now");
    }
    return started;
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
    auto state_store = std::make_unique<service::StateStore>(settings.state_file);
    service::StateStore& state = *state_store;
    const std::string refusal = state.refusal();
    if (!refusal.empty()) {
        return refuse("the state file " + settings.state_file + " cannot be used", refusal);
    }
    // Whoever asks the service to stop (a signal, the service manager), at any moment.
    std::atomic<bool> stopping{false};
    const std::function<void()> stop = [&io, &stopping] {
        stopping = true;
        io.stop();
    };
    service::LedThread led;
    service::StatusThread status;
    service::Server server(
        io, {[&led](LedColorCode code, service::Server::ColorSet on_set) { led.set_color(code, std::move(on_set)); },
             [&led](service::LedThread::ReadBack done) { led.read_back(std::move(done)); },
             [&state](std::vector<service::JournalRecord> records, service::Server::Kept kept) {
                 state.keep(std::move(records), std::move(kept));
             },
             [&status](std::vector<service::BoardChange> changes) { status.change(std::move(changes)); },
             [&status](service::Time now, std::optional<LedColorCode> read_back, service::Server::StatusMade made) {
                 status.make(now, read_back, std::move(made));
             }});
    stop_on(stops, stop);
    // While the LED cannot be driven, every request is answered with what the service waits for.
    bool listening = false;
    const auto answer_waiting = [&](const std::string& what) {
        server.refuse_requests(what);
        listener->serve(server);
        listening = true;
    };
    if (!start_led(led, settings, supervisor, io, stop, stopping, answer_waiting, why_not)) {
        listener->close();
        server.connections().close_all();
        return why_not.empty() ? 0 : refuse("the LED cannot be driven", why_not);
    }
    restore(server, state);
    state.start(server.records_in_force());
    ignore(ignored);
    // Clients are served once the LED shows what the service says, not before.
    server.start([&] {
        server.refuse_requests("");
        if (!listening) {
            listener->serve(server);
        }
        program_support::log("serving on " + address);
        supervisor.serving(stop);
    });
    if (!stopping) {
        io.run();
    }
    // Every connection is closed before the server goes; what their handlers still hold is let go
    // with the event loop, and refers to nothing else.
    listener->close();
    server.connections().close_all();
    led.stop(server.stop());
    if (!state.stop()) {
        program_support::log("the state file's last write did not end within " +
                             std::to_string(service::kLastWriteWait.count()) + " s; stopping without it");
        static_cast<void>(state_store.release());  // its thread may still use it
    }
    program_support::log("stopped");
    return 0;
}

}  // namespace

int program_main(int argc, char** argv) {
    program_support::log_as("kav_morv_led_service");
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
    app.add_flag("--wait-for-led", settings.wait_for_led,
                 "When the LED cannot be driven yet (its driver libraries not installed), try again every 10 s "
                 "rather than refuse to start");
    if (service::kEndpointHasGroup) {
        app.add_option("--group", settings.group, "The group whose members may use the socket, beside root")
            ->capture_default_str();
    }
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
