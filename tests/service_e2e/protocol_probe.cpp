// Speaks to the LED service as a raw client, for tests: any bytes, many connections at once, a
// stall, a hang-up in the middle of a request.
//   protocol_probe --endpoint NAME --send HEX [--connections N] [--replies N] [--hold-ms MS] [--hang-up]
// Opens N connections (1), sends the bytes on each, waits MS (0), then reads up to N replies (one
// per line feed sent) from each, printing "reply TEXT" for each and "closed" when the service
// closed a connection first. With --hang-up it closes each connection right after sending.
#include "endpoint.h"
#include "platform.h"

#include <algorithm>
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

}  // namespace

int main(int argc, char** argv) {
    std::string endpoint_name = endpoint::configured();
    std::string bytes;
    unsigned connections = 1;
    long replies = -1;
    unsigned hold_ms = 0;
    bool hang_up = false;
    for (int at = 1; at < argc; ++at) {
        const std::string option = argv[at];
        const char* value = at + 1 < argc ? argv[at + 1] : "";
        if (option == "--hang-up") {
            hang_up = true;
            continue;
        }
        ++at;
        if (option == "--endpoint") {
            endpoint_name = value;
        } else if (option == "--send") {
            bytes = from_hex(value);
        } else if (option == "--connections") {
            connections = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else if (option == "--replies") {
            replies = std::strtol(value, nullptr, 10);
        } else if (option == "--hold-ms") {
            hold_ms = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else {
            std::fprintf(stderr, "protocol_probe: unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (replies < 0) {
        replies = static_cast<long>(std::count(bytes.begin(), bytes.end(), '\n'));
    }

    std::vector<std::unique_ptr<endpoint::Connection>> open;
    for (unsigned index = 0; index < connections; ++index) {
        auto connection = std::make_unique<endpoint::Connection>();
        std::string why_not;
        if (!connection->open(endpoint_name, why_not)) {
            std::printf("cannot connect: %s\n", why_not.c_str());
            return 1;
        }
        open.push_back(std::move(connection));
    }
    for (const auto& connection : open) {
        connection->send(bytes);
        if (hang_up) {
            connection->close();
        }
    }
    platform::sleep_ms(hold_ms);
    if (hang_up) {
        return 0;
    }
    for (const auto& connection : open) {
        for (long count = 0; count < replies; ++count) {
            std::string reply;
            if (!connection->receive_line(reply)) {
                std::puts("closed");
                break;
            }
            std::printf("reply %s\n", reply.c_str());
        }
    }
    return 0;
}
