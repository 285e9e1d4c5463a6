// When the bridge tries its broker again, and what it makes of connections the broker keeps
// closing. Pure: times come in, so tests drive it without a broker or a clock.
#pragma once

#include <chrono>

namespace bridge {

class Reconnecting {
public:
    using Time = std::chrono::steady_clock::time_point;
    using Seconds = std::chrono::seconds;
    static constexpr Seconds kFirstWait{1};
    static constexpr Seconds kLongestWait{30};
    // How long a connection must have stayed up for the waits to start again from the first: a
    // bridge the broker keeps closing (another with its client id) backs off, not in at once.
    static constexpr Seconds kSteady{30};

    // The wait before the next attempt, after one that failed (unreachable, refused, no CONNACK):
    // 1 s, 2 s, 4 s, ... at most 30 s.
    Seconds failed();
    // The broker accepted a connection.
    void accepted(Time now);
    // The wait after a connection that ended at `now`; the broker closing it (as it does when
    // another client connects with the same id) counts towards a takeover.
    Seconds ended(Time now, bool closed_by_broker);
    // Whether the last end is the second in a row of connections the broker accepted and closed
    // before they stayed up: what another client with the same id does. True once, until a
    // connection stays up again.
    bool taken_over_news();

private:
    Seconds wait_ = kFirstWait;
    Time accepted_at_{};
    int closed_early_in_a_row_ = 0;
    bool said_ = false;
    bool news_ = false;
};

}  // namespace bridge
