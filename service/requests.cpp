#include "requests.h"

#include <nlohmann/json.hpp>

#include <utility>

namespace service {
namespace {

nlohmann::json color_or_null(std::optional<LedColorCode> code) {
    return code ? nlohmann::json(protocol::color_name(*code)) : nlohmann::json();
}

// Every active indication (owner, name, priority, steps, cycles, what it shows now, how long it has
// left), the one showing, the colour shown; read_back is filled in once the LED has been read.
nlohmann::json status_of(const Board& board, Time now) {
    nlohmann::json indications = nlohmann::json::array();
    for (const IndicationStatus& entry : board.status(now)) {
        const Indication& indication = *entry.indication;
        nlohmann::json steps = nlohmann::json::array();
        for (const protocol::Step& step : indication.steps) {
            steps.push_back({{"color", protocol::color_name(step.color)}, {"ms", step.ms}});
        }
        indications.push_back({
            {"name", indication.name},
            {"owner", indication.owner.name},
            {"owner_id", indication.owner.id},
            {"priority", indication.priority},
            {"steps", steps},
            {"cycles", indication.cycles ? nlohmann::json(*indication.cycles) : nlohmann::json()},
            {"shows", protocol::color_name(entry.shows_now)},
            {"left_ms", entry.left ? nlohmann::json(entry.left->count()) : nlohmann::json()},
        });
    }
    const Indication* showing = board.showing(now);
    return {
        {"showing", showing != nullptr ? nlohmann::json(showing->name) : nlohmann::json()},
        {"owner", showing != nullptr ? nlohmann::json(showing->owner.name) : nlohmann::json()},
        {"color", protocol::color_name(board.color_at(now))},
        {"read_back", nullptr},
        {"indications", indications},
    };
}

Answer clear(Board& board, const protocol::Request& request, const Client& client) {
    const std::string& whose = request.owner.value_or(client.owner.id);
    const bool own = whose == client.owner.id || whose == client.owner.name;
    if (!own && !client.privileged) {
        return {Answer::When::now,
                protocol::error_reply("clear", "only root, SYSTEM and Administrators may clear another user's "
                                               "indication; leave out owner= to clear your own"),
                false, nullptr};
    }
    const bool cleared = board.clear(request.name, own ? client.owner.id : whose) > 0;
    return {cleared ? Answer::When::once_shown : Answer::When::now, protocol::ok_reply(), cleared, nullptr};
}

}  // namespace

Answer carry_out(Board& board, const protocol::Request& request, const Client& client, Time now) {
    switch (request.command) {
        case protocol::Command::set:
        case protocol::Command::blink:
        case protocol::Command::pattern: {
            const std::string refused = board.refusal(request, client.owner);
            if (!refused.empty()) {
                return {Answer::When::now, protocol::error_reply(protocol::command_word(request.command), refused),
                        false, nullptr};
            }
            board.set(request, client.owner, now);
            return {Answer::When::once_shown, protocol::ok_reply(), true, nullptr};
        }
        case protocol::Command::clear:
            return clear(board, request, client);
        case protocol::Command::get:
            return {Answer::When::now, protocol::ok_reply(protocol::color_name(board.color_at(now))), false, nullptr};
        case protocol::Command::status:
            break;
    }
    return {Answer::When::after_read_back, "", false,
            [status = status_of(board, now)](std::optional<LedColorCode> read_back) mutable {
                status["read_back"] = color_or_null(read_back);
                return protocol::ok_reply(status.dump());
            }};
}

}  // namespace service
