// Speaks to the LED service as a raw client, for tests: any bytes, many connections at once, a
// stall, a hang-up in the middle of a request.
//   protocol_probe [--endpoint NAME] [--connections N] ACTION...
// Opens N connections (1), then takes each action on every connection in turn:
//   send:HEX   sends the bytes
//   pause:MS   waits
//   read:N     reads up to N replies, printing "reply TEXT" for each, or "closed" when the service
//              closed the connection first (nothing more is read from it then)
//   hangup     closes the connection
#include "endpoint.h"
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string from_hex(const char* hex) {
    std::string bytes;
    for (std::size_t at = 0; hex[at] != '\0' && hex[at + 1] != '\0'; at += 2) {
        const char pair[3] = {hex[at], hex[at + 1], '\0'};
        bytes += static_cast<char>(std::strtoul(pair, nullptr, 16));
    }
    return bytes;
}

struct Probe {
    std::unique_ptr<endpoint::Connection> connection = std::make_unique<endpoint::Connection>();
    bool closed = false;
};

}  // namespace

int main(int argc, char** argv) {
    std::string endpoint_name = endpoint::configured();
    unsigned connections = 1;
    int at = 1;
    for (; at + 1 < argc && std::strncmp(argv[at], "--", 2) == 0; at += 2) {
        const std::string option = argv[at];
        if (option == "--endpoint") {
            endpoint_name = argv[at + 1];
        } else if (option == "--connections") {
            connections = static_cast<unsigned>(std::strtoul(argv[at + 1], nullptr, 10));
        } else {
            std::fprintf(stderr, "protocol_probe: unknown option %s\n", option.c_str());
            return 2;
        }
    }

    // Each reply as it comes, for a test that reads them while the probe holds its connections.
    static_cast<void>(std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ));
    std::vector<Probe> probes(connections);
    for (Probe& probe : probes) {
        std::string why_not;
        if (probe.connection->open(endpoint_name, why_not) != endpoint::Opened::yes) {
            std::printf("cannot connect: %s\n", why_not.c_str());
            return 1;
        }
    }
    for (; at < argc; ++at) {
        const std::string action = argv[at];
        const std::string::size_type colon = action.find(':');
        const std::string verb = action.substr(0, colon);
        const std::string value = colon == std::string::npos ? "" : action.substr(colon + 1);
        if (verb == "pause") {
            platform::sleep_ms(static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10)));
            continue;
        }
        for (Probe& probe : probes) {
            if (verb == "send" && !probe.closed) {
                probe.connection->send(from_hex(value.c_str()));
            } else if (verb == "hangup") {
                probe.connection->close();
                probe.closed = true;
            } else if (verb == "read") {
                for (unsigned long count = std::strtoul(value.c_str(), nullptr, 10); count > 0 && !probe.closed;
                     --count) {
                    std::string reply;
                    probe.closed = !probe.connection->receive_line(reply);
                    if (probe.closed) {
                        std::puts("closed");
                    } else {
                        std::printf("reply %s\n", reply.c_str());
                    }
                }
            } else if (verb != "send") {
                std::fprintf(stderr, "protocol_probe: unknown action %s\n", action.c_str());
                return 2;
            }
        }
    }
    return 0;
}
