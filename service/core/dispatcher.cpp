#include "dispatcher.h"

#include "reply.h"

#include <nlohmann/json.hpp>

#include <utility>

namespace service {
namespace {

nlohmann::json color_or_null(std::optional<LedColorCode> code) {
    return code ? nlohmann::json(protocol::color_name(*code)) : nlohmann::json();
}

// Every active indication (owner, name, priority, steps, cycles, what it shows now, how long it has
// left), the one showing, the colour shown; read_back is filled in once the LED has been read.
nlohmann::json status_of(const Indications& indications, Time now) {
    nlohmann::json listed = nlohmann::json::array();
    for (const IndicationStatus& entry : indications.status(now)) {
        const Indication& indication = *entry.indication;
        nlohmann::json steps = nlohmann::json::array();
        for (const protocol::Step& step : indication.steps) {
            steps.push_back({{"color", protocol::color_name(step.color)}, {"ms", step.ms}});
        }
        listed.push_back({
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
    const Indication* showing = indications.showing(now);
    return {
        {"showing", showing != nullptr ? nlohmann::json(showing->name) : nlohmann::json()},
        {"owner", showing != nullptr ? nlohmann::json(showing->owner.name) : nlohmann::json()},
        {"color", protocol::color_name(indications.color_at(now))},
        {"read_back", nullptr},
        {"indications", listed},
    };
}

// What the LED shows now and whose it is, for the log: "red (alarm of alice)".
std::string shown(const Indications& indications, Time now) {
    const Indication* showing = indications.showing(now);
    return protocol::color_name(indications.color_at(now)) +
           (showing != nullptr ? " (" + showing->name + " of " + showing->owner.name + ")" : std::string());
}

// Applies a well-formed request to what is in force, settled at `now`.
Answer apply(Indications& indications, const protocol::Request& request, const Client& client, Time now) {
    const std::string command = protocol::command_word(request.command);
    Answer answer;
    answer.command = command;
    switch (request.command) {
        case protocol::Command::set:
        case protocol::Command::blink:
        case protocol::Command::pattern: {
            const std::string refused = indications.refusal(request, client.owner);
            if (!refused.empty()) {
                answer.reply = protocol::error_reply(command, refused);
                return answer;
            }
            indications.set(request, client.owner, now);
            answer.changed = true;
            answer.changes.events.push_back(
                event_of(Event::Kind::set, indications.all().at({request.name, client.owner.id}), indications, now));
            break;
        }
        case protocol::Command::clear: {
            const std::string& whose = request.owner.value_or(client.owner.id);
            const bool own = whose == client.owner.id || whose == client.owner.name;
            if (!own && !client.privileged) {
                answer.reply = protocol::error_reply(command,
                                                     "only root, SYSTEM and Administrators may clear another "
                                                     "user's indication; leave out owner= to clear your own");
                return answer;
            }
            // Clearing what is not there is done at once: nothing changes.
            for (const Indication& cleared : indications.clear(request.name, own ? client.owner.id : whose)) {
                answer.changes.events.push_back(event_of(Event::Kind::cleared, cleared, indications, now));
                answer.changed = true;
            }
            break;
        }
        case protocol::Command::get:
            answer.reply = protocol::ok_reply(protocol::color_name(indications.color_at(now)));
            return answer;
        case protocol::Command::status:
            answer.when = Answer::When::after_read_back;
            answer.finish = [status = status_of(indications, now)](std::optional<LedColorCode> read_back) mutable {
                status["read_back"] = color_or_null(read_back);
                return protocol::ok_reply(status.dump());
            };
            return answer;
        case protocol::Command::watch:
            answer.when = Answer::When::watching;
            answer.reply = protocol::ok_reply();
            return answer;
    }
    answer.reply = protocol::ok_reply();
    answer.when = answer.changed ? Answer::When::once_shown : Answer::When::now;
    return answer;
}

}  // namespace

Answer dispatch(Indications& indications, const protocol::LineReader::Line& line, const Client& client, Time now) {
    if (line.too_long) {
        Answer answer;
        answer.command = "-";
        answer.reply =
            protocol::error_reply("-", "line longer than " + std::to_string(protocol::kMaxLineBytes) + " bytes");
        return answer;
    }
    const protocol::Parsed parsed = protocol::parse_request(line.text);
    if (!parsed.request) {
        Answer answer;
        answer.command = parsed.command;
        answer.reply = protocol::error_reply(parsed.command, parsed.error);
        return answer;
    }
    Changes ended = settle(indications, now);
    Answer answer = apply(indications, *parsed.request, client, now);
    answer.changed = answer.changed || !ended.events.empty();
    if (answer.when == Answer::When::once_shown) {
        ended.log.push_back(client.description + ": " + line.text + " -> the LED shows " + shown(indications, now));
    }
    ended.events.insert(ended.events.end(), answer.changes.events.begin(), answer.changes.events.end());
    answer.changes = std::move(ended);
    return answer;
}

std::string reply_once_shown(const Answer& answer, LedColorCode set, LedColorCode read_back) {
    if (read_back == set) {
        return answer.reply;
    }
    return protocol::error_reply(answer.command, std::string("the LED did not take it: it reads back ") +
                                                     protocol::color_name(read_back) + ", not " +
                                                     protocol::color_name(set) + "; what was asked stays in force");
}

Changes settle(Indications& indications, Time now) {
    Changes said;
    for (const Ended& gone : indications.drop_ended(now)) {
        said.log.push_back(gone.indication.name + " of " + gone.indication.owner.name +
                           (gone.expired ? " expired" : " ended: its count ran out"));
        said.events.push_back(
            event_of(gone.expired ? Event::Kind::expired : Event::Kind::ended, gone.indication, indications, now));
    }
    return said;
}

std::vector<Event> restored(const Indications& indications, Time now) {
    std::vector<Event> events;
    for (const auto& [key, indication] : indications.all()) {
        events.push_back(event_of(Event::Kind::restored, indication, indications, now));
    }
    return events;
}

std::optional<LedColorCode> color_to_leave(const Indications& indications, Time now, std::string& said) {
    const Indication* showing = indications.showing(now);
    if (showing == nullptr || showing->steady()) {
        return std::nullopt;
    }
    said = "stopping: the LED is left off rather than stand still in a step of " + showing->name + " of " +
           showing->owner.name + ", which shows again when the service starts";
    return LedColorCode{LED_COLOR_OFF};
}

}  // namespace service
