#include "words.h"

#include "color_names.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>

namespace protocol {
namespace {

struct CommandName {
    Command command;
    const char* word;
};
constexpr CommandName kCommands[] = {
    {Command::set, "set"},     {Command::blink, "blink"}, {Command::pattern, "pattern"},
    {Command::clear, "clear"}, {Command::get, "get"},     {Command::status, "status"},
    {Command::watch, "watch"},
};

bool same_letters(std::string_view word, std::string_view name) {
    return word.size() == name.size() && std::equal(word.begin(), word.end(), name.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

template <typename Table, typename Name>
std::string joined(const Table& table, Name name) {
    std::string list;
    for (const auto& entry : table) {
        list += (list.empty() ? "" : ", ") + std::string(name(entry));
    }
    return list;
}

}  // namespace

const char* command_word(Command command) {
    for (const CommandName& known : kCommands) {
        if (known.command == command) {
            return known.word;
        }
    }
    return "-";
}

std::optional<Command> command_named(std::string_view word) {
    for (const CommandName& known : kCommands) {
        if (same_letters(word, known.word)) {
            return known.command;
        }
    }
    return std::nullopt;
}

const std::string& command_list() {
    static const std::string list = joined(kCommands, [](const CommandName& entry) { return entry.word; });
    return list;
}

const char* color_name(LedColorCode code) {
    return code < led::kColorCount ? led::kColorNames[code].small_letters : "unknown";
}

std::optional<LedColorCode> color_from_name(std::string_view name) {
    for (const led::ColorName& color : led::kColorNames) {
        if (same_letters(name, color.small_letters)) {
            return color.code;
        }
    }
    return std::nullopt;
}

const std::string& color_list() {
    static const std::string list =
        joined(led::kColorNames, [](const led::ColorName& color) { return color.small_letters; });
    return list;
}

std::string quoted(std::string_view word) {
    std::string shown;
    for (const char c : word.substr(0, 32)) {
        shown += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return "\"" + shown + (word.size() > 32 ? "...\"" : "\"");
}

bool is_utf8(std::string_view bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        // The length of the sequence, and the least value it may encode (no overlong forms).
        const std::size_t length = byte < 0x80           ? 1
                                   : (byte >> 5) == 0x6  ? 2
                                   : (byte >> 4) == 0xE  ? 3
                                   : (byte >> 3) == 0x1E ? 4
                                                         : 0;
        if (length == 0 || at + length > bytes.size()) {
            return false;
        }
        std::uint32_t code = length == 1 ? byte : byte & (0x7F >> length);
        for (std::size_t next = 1; next < length; ++next) {
            const auto continuation = static_cast<unsigned char>(bytes[at + next]);
            if ((continuation & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (continuation & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        at += length;
    }
    return true;
}

}  // namespace protocol
