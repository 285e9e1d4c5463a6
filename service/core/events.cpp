#include "events.h"

#include <nlohmann/json.hpp>

namespace service {
namespace {

const char* kind_word(Event::Kind kind) {
    switch (kind) {
        case Event::Kind::set:
            return "set";
        case Event::Kind::cleared:
            return "cleared";
        case Event::Kind::expired:
            return "expired";
        case Event::Kind::ended:
            return "ended";
        case Event::Kind::restored:
            return "restored";
    }
    return "-";
}

nlohmann::json text_or_null(const std::string& text) {
    return text.empty() ? nlohmann::json() : nlohmann::json(text);
}

}  // namespace

Event event_of(Event::Kind kind, const Indication& indication, const Indications& indications, Time now) {
    const Indication* showing = indications.showing(now);
    return {kind,
            indication.name,
            indication.owner,
            showing != nullptr ? showing->name : "",
            showing != nullptr ? showing->owner.name : "",
            indications.color_at(now)};
}

std::string event_line(const Event& event, std::uint64_t seq) {
    const nlohmann::json fields = {
        {"seq", seq},
        {"event", kind_word(event.kind)},
        {"name", event.name},
        {"owner", event.owner.name},
        {"owner_id", event.owner.id},
        {"showing", text_or_null(event.showing)},
        {"showing_owner", text_or_null(event.showing_owner)},
        {"color", protocol::color_name(event.color)},
    };
    return "event " + fields.dump();
}

}  // namespace service
