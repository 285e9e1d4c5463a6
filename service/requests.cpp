#include "requests.h"

#include <nlohmann/json.hpp>

namespace service {

std::optional<std::string> carry_out(Board& board, const protocol::Request& request, Time now) {
    switch (request.command) {
        case protocol::Command::set:
        case protocol::Command::blink:
        case protocol::Command::pattern:
            board.set(request, now);
            return protocol::ok_reply();
        case protocol::Command::clear:
            board.clear(request.name);
            return protocol::ok_reply();
        case protocol::Command::get:
            return protocol::ok_reply(protocol::color_name(board.color_at(now)));
        case protocol::Command::status:
            break;
    }
    return std::nullopt;
}

std::string status_reply(const Board& board, Time now, LedColorCode read_back) {
    nlohmann::json indications = nlohmann::json::array();
    for (const IndicationStatus& entry : board.status(now)) {
        nlohmann::json steps = nlohmann::json::array();
        for (const protocol::Step& step : entry.indication->steps) {
            steps.push_back({{"color", protocol::color_name(step.color)}, {"ms", step.ms}});
        }
        indications.push_back({
            {"name", entry.indication->name},
            {"priority", entry.indication->priority},
            {"steps", steps},
            {"cycles", entry.indication->cycles ? nlohmann::json(*entry.indication->cycles) : nlohmann::json()},
            {"shows", protocol::color_name(entry.shows_now)},
            {"left_ms", entry.left ? nlohmann::json(entry.left->count()) : nlohmann::json()},
        });
    }
    const Indication* showing = board.showing(now);
    const nlohmann::json status = {
        {"showing", showing != nullptr ? nlohmann::json(showing->name) : nlohmann::json()},
        {"color", protocol::color_name(board.color_at(now))},
        {"read_back", protocol::color_name(read_back)},
        {"indications", indications},
    };
    return protocol::ok_reply(status.dump());
}

}  // namespace service
