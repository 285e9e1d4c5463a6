// kav_morv_led_service: owns the LED and shows what local programs ask of it, by priority, over a
// local endpoint (docs/protocol.md). The only process that calls the library's Init, SetLED and
// DeInit while it runs.
#include "command_line.h"
#include "endpoint.h"
#include "led_output.h"
#include "listener.h"
#include "program_entry.h"
#include "server.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr const char* kProgram = "kav_morv_led_service";

int refuse(const char* what, const std::string& why) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, what, why.c_str());
    return 1;
}

int serve(const std::string& endpoint_name) {
    const std::string address = endpoint::address(endpoint_name);
    asio::io_context io;
    std::string why_not;
    const std::unique_ptr<service::Listener> listener = service::claim_endpoint(io, endpoint_name, why_not);
    if (!listener) {
        return refuse(("cannot serve " + address).c_str(), why_not);
    }
    service::LedOutput led;
    if (!led.start(why_not)) {
        return refuse("the LED cannot be driven", why_not);
    }
    service::Server server(io, led);
    asio::signal_set stop_requests(io, SIGINT, SIGTERM);
    stop_requests.async_wait([&io](const asio::error_code& error, int) {
        if (!error) {
            io.stop();
        }
    });
    // Clients are served once the LED shows what the service says, not before.
    server.start([&listener, &server, &address] {
        listener->serve(server);
        std::fprintf(stderr, "%s: serving on %s\n", kProgram, address.c_str());
    });
    io.run();
    listener->close();
    led.stop();
    std::fprintf(stderr, "%s: stopped\n", kProgram);
    return 0;
}

}  // namespace

int program_main(int argc, char** argv) {
    CLI::App app("Owns the LED and shows what local programs ask of it, by priority. Clients talk to it "
                 "with kav_morv_ledctl, or any program, in the protocol of docs/protocol.md.",
                 kProgram);
    bool foreground = false;
    std::string endpoint_name = endpoint::configured();
    app.add_flag("--foreground", foreground, "Run in this console until Ctrl-C or SIGTERM");
    app.add_option("--endpoint", endpoint_name,
                   "Where to listen: a socket path on POSIX, a pipe name on Windows (also KAV_MORV_LED_ENDPOINT)")
        ->capture_default_str();
    if (const std::optional<int> status = command_line::parse(app, argc, argv)) {
        return *status;
    }
    if (!foreground) {
        std::fprintf(stderr, "%s: say --foreground to run it in this console\nRun '%s --help' for how to use it.\n",
                     kProgram, kProgram);
        return command_line::kUsageError;
    }
    return serve(endpoint_name);
}
