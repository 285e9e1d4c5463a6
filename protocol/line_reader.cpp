#include "line_reader.h"

namespace protocol {

void LineReader::feed(std::string_view bytes, std::vector<Line>& lines) {
    // One byte more than the limit is kept, for a carriage return that does not count.
    const std::size_t kept = max_line_bytes_ + 1;
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (!discarding_ && pending_.size() + piece.size() > kept) {
            pending_.clear();
            discarding_ = true;
        }
        if (!discarding_) {
            pending_.append(piece);
        }
        if (end == std::string_view::npos) {
            return;
        }
        const bool too_long = discarding_ || (pending_.size() > max_line_bytes_ && pending_.back() != '\r');
        lines.push_back({too_long, too_long ? std::string() : std::move(pending_)});
        pending_.clear();
        discarding_ = false;
        bytes.remove_prefix(end + 1);
    }
}

}  // namespace protocol
