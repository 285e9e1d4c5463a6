#include "status_board.h"

#include "status_report.h"

namespace service {

void StatusBoard::apply(const BoardChange& change) {
    const std::string& owner_id = change.key.second;
    in_force_.clear(change.key.first, [&owner_id](const Owner& owner) { return owner.id == owner_id; });
    if (change.now_in_force) {
        // The caps were the service's to check: what it put in force fits here as it did there.
        in_force_.put(*change.now_in_force);
    }
}

std::string StatusBoard::payload(Time now, std::optional<LedColorCode> read_back) const {
    return status_payload(in_force_, now, read_back);
}

}  // namespace service
