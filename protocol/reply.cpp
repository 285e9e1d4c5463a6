#include "reply.h"

#include "words.h"

namespace protocol {

std::string ok_reply(std::string_view payload) {
    return payload.empty() ? "ok" : "ok " + std::string(payload);
}

std::string error_reply(std::string_view command, std::string_view message) {
    return "error " + std::string(command) + " " + std::string(message);
}

std::optional<Reply> parse_reply(std::string_view line) {
    if (!is_utf8(line)) {
        return std::nullopt;
    }
    Reply reply;
    if (line == "ok") {
        reply.ok = true;
        return reply;
    }
    if (line.substr(0, 3) == "ok " && line.size() > 3) {
        reply.ok = true;
        reply.payload = std::string(line.substr(3));
        return reply;
    }
    const std::string_view error_prefix = "error ";
    if (line.substr(0, error_prefix.size()) != error_prefix) {
        return std::nullopt;
    }
    const std::string_view rest = line.substr(error_prefix.size());
    const std::size_t space = rest.find(' ');
    if (space == 0 || space == std::string_view::npos || space + 1 == rest.size()) {
        return std::nullopt;
    }
    reply.command = std::string(rest.substr(0, space));
    reply.message = std::string(rest.substr(space + 1));
    return reply;
}

}  // namespace protocol
