// Reply lines, without their line feed: "ok", "ok PAYLOAD", "error COMMAND MESSAGE".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace protocol {

std::string ok_reply(std::string_view payload = {});
std::string error_reply(std::string_view command, std::string_view message);

// A reply line as a client reads it; none when the line is not a reply at all.
struct Reply {
    bool ok = false;
    std::string payload;  // ok: what follows "ok "; empty for a bare "ok"
    std::string command;  // error: the command word it names
    std::string message;  // error: what the service says is wrong
};
std::optional<Reply> parse_reply(std::string_view line);

}  // namespace protocol
