// What `status` reports, kept apart from the indications the service decides by: a copy that
// follows every change in order, from which a status reply can be made on another thread while
// the event loop goes on. Pure.
#pragma once

#include "indications.h"

#include <optional>
#include <string>

namespace service {

// One change of what is in force: the indication now under `key`, or none when it went.
struct BoardChange {
    Indications::Key key;
    std::optional<Indication> now_in_force;
};

class StatusBoard {
public:
    void apply(const BoardChange& change);
    // The JSON object of a status reply at `now`; `read_back` none when the LED could not be read in time.
    std::string payload(Time now, std::optional<LedColorCode> read_back) const;

private:
    Indications in_force_;
};

}  // namespace service
