#include "endpoint.h"

namespace endpoint {

bool Connection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t sent = write_some(bytes.data(), bytes.size());
        if (sent == 0) {
            return false;
        }
        bytes.remove_prefix(sent);
    }
    return true;
}

bool Connection::receive_line(std::string& line) {
    for (;;) {
        const std::size_t end = received_.find('\n');
        if (end != std::string::npos) {
            line = received_.substr(0, end);
            received_.erase(0, end + 1);
            return true;
        }
        char buffer[4096];
        const std::size_t got = read_some(buffer, sizeof buffer);
        if (got == 0) {
            return false;
        }
        received_.append(buffer, got);
    }
}

}  // namespace endpoint
