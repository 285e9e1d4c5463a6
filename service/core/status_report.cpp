#include "status_report.h"

#include "words.h"

#include <cstdio>

namespace service {
namespace {

// A JSON string. Names and colours are the protocol's own; an owner's name is the system's, which
// may hold any byte: one that is not UTF-8 is written as the character it would be in Latin-1,
// so the reply stays JSON.
void append_text(std::string& out, const std::string& text) {
    const bool utf8 = protocol::is_utf8(text);
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || (byte >= 0x80 && !utf8)) {
            char escaped[8];
            static_cast<void>(std::snprintf(escaped, sizeof escaped, "\\u%04x", byte));
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

void append_text_or_null(std::string& out, const std::string* text) {
    if (text != nullptr) {
        append_text(out, *text);
    } else {
        out += "null";
    }
}

void append_color(std::string& out, LedColorCode code) {
    out += '"';
    out += protocol::color_name(code);
    out += '"';
}

void append_indication(std::string& out, const IndicationStatus& entry) {
    const Indication& indication = *entry.indication;
    out += "{\"name\":";
    append_text(out, indication.name);
    out += ",\"owner\":";
    append_text(out, indication.owner.name);
    out += ",\"owner_id\":";
    append_text(out, indication.owner.id);
    out += ",\"priority\":" + std::to_string(indication.priority) + ",\"steps\":[";
    const char* comma = "";
    for (const protocol::Step& step : indication.steps) {
        out += comma;
        out += "{\"color\":";
        append_color(out, step.color);
        out += ",\"ms\":" + std::to_string(step.ms) + "}";
        comma = ",";
    }
    out += "],\"cycles\":" + (indication.cycles ? std::to_string(*indication.cycles) : std::string("null"));
    out += ",\"shows\":";
    append_color(out, entry.shows_now);
    out += ",\"left_ms\":" + (entry.left ? std::to_string(entry.left->count()) : std::string("null")) + "}";
}

}  // namespace

std::string status_payload(const Indications& indications, Time now, std::optional<LedColorCode> read_back) {
    const Indication* showing = indications.showing(now);
    std::string out = "{\"showing\":";
    append_text_or_null(out, showing != nullptr ? &showing->name : nullptr);
    out += ",\"owner\":";
    append_text_or_null(out, showing != nullptr ? &showing->owner.name : nullptr);
    out += ",\"color\":";
    append_color(out, indications.color_at(now));
    out += ",\"read_back\":";
    if (read_back) {
        append_color(out, *read_back);
    } else {
        out += "null";
    }
    out += ",\"indications\":[";
    const char* comma = "";
    for (const IndicationStatus& entry : indications.status(now)) {
        out += comma;
        append_indication(out, entry);
        comma = ",";
    }
    return out + "]}";
}

}  // namespace service
