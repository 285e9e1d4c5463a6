#include "line_reader.h"

namespace service {

void LineReader::feed(std::string_view bytes, std::vector<Line>& lines) {
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (!discarding_ && pending_.size() + piece.size() > max_line_bytes_) {
            pending_.clear();
            discarding_ = true;
        }
        if (!discarding_) {
            pending_.append(piece);
        }
        if (end == std::string_view::npos) {
            return;
        }
        lines.push_back({discarding_, std::move(pending_)});
        pending_.clear();
        discarding_ = false;
        bytes.remove_prefix(end + 1);
    }
}

}  // namespace service
