#include "dispatcher.h"

#include "reply.h"

#include <utility>

namespace service {
namespace {

// What the LED shows now and whose it is, for the log: "red (alarm of alice)".
std::string showing_for_log(const Indications& indications, Time now) {
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
            answer.in_force_changed = true;
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
            // Your own are yours by id alone, whoever else's name your id may be. An administrator
            // may name another user by id or by name.
            const auto named = [&](const Owner& owner) {
                return own ? owner.id == client.owner.id : owner.id == whose || owner.name == whose;
            };
            // Clearing what is not there is done at once: nothing changes.
            for (const Indication& cleared : indications.clear(request.name, named)) {
                answer.changes.events.push_back(event_of(Event::Kind::cleared, cleared, indications, now));
                answer.in_force_changed = true;
            }
            break;
        }
        case protocol::Command::get:
            answer.reply = protocol::ok_reply(protocol::color_name(indications.color_at(now)));
            return answer;
        case protocol::Command::status:
            answer.when = Answer::When::after_read_back;
            return answer;
        case protocol::Command::watch:
            answer.when = Answer::When::watching;
            answer.reply = protocol::ok_reply();
            return answer;
    }
    answer.reply = protocol::ok_reply();
    answer.when = answer.in_force_changed ? Answer::When::once_shown : Answer::When::now;
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
    Changes ended = remove_ended(indications, now);
    Answer answer = apply(indications, *parsed.request, client, now);
    answer.in_force_changed = answer.in_force_changed || !ended.events.empty();
    if (answer.when == Answer::When::once_shown) {
        ended.log.push_back({client.owner.who(), client.description + ": " + line.text + " -> the LED shows " +
                                                     showing_for_log(indications, now)});
    }
    ended.events.insert(ended.events.end(), answer.changes.events.begin(), answer.changes.events.end());
    answer.changes = std::move(ended);
    return answer;
}

std::string reply_once_shown(const Answer& answer, LedColorCode set, LedColorCode read_back,
                             const std::string& unsaved) {
    if (read_back != set) {
        return protocol::error_reply(answer.command, std::string("the LED did not take it: it reads back ") +
                                                         protocol::color_name(read_back) + ", not " +
                                                         protocol::color_name(set) + "; what was asked stays in force");
    }
    if (!unsaved.empty()) {
        return protocol::error_reply(answer.command, "the state file cannot be written (" + unsaved +
                                                         "): what was asked is in force, but would not outlive a "
                                                         "restart");
    }
    return answer.reply;
}

Changes remove_ended(Indications& indications, Time now) {
    Changes ended;
    for (const Ended& gone : indications.drop_ended(now)) {
        ended.log.push_back(
            {gone.indication.owner.who(), gone.indication.name + " of " + gone.indication.owner.name +
                                              (gone.expired ? " expired" : " ended: its count ran out")});
        ended.events.push_back(
            event_of(gone.expired ? Event::Kind::expired : Event::Kind::ended, gone.indication, indications, now));
    }
    return ended;
}

std::vector<Event> restored(const Indications& indications, Time now) {
    std::vector<Event> events;
    for (const auto& [key, indication] : indications.all()) {
        events.push_back(event_of(Event::Kind::restored, indication, indications, now));
    }
    return events;
}

std::optional<LedColorCode> color_to_leave(const Indications& indications, Time now, std::string& log_line) {
    const Indication* showing = indications.showing(now);
    if (showing == nullptr || showing->steady()) {
        return std::nullopt;
    }
    log_line = "stopping: the LED is left off rather than stand still in a step of " + showing->name + " of " +
               showing->owner.name + ", which shows again when the service starts";
    return LedColorCode{LED_COLOR_OFF};
}

}  // namespace service
