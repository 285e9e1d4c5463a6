#include "reconnecting.h"

#include <algorithm>

namespace bridge {

Reconnecting::Seconds Reconnecting::failed() {
    const Seconds wait = wait_;
    wait_ = std::min(wait_ * 2, kLongestWait);
    return wait;
}

void Reconnecting::accepted(Time now) {
    accepted_at_ = now;
}

Reconnecting::Seconds Reconnecting::ended(Time now, bool closed_by_broker) {
    const bool steady = now - accepted_at_ >= kSteady;
    if (steady) {
        wait_ = kFirstWait;
        said_ = false;
    }
    closed_early_in_a_row_ = closed_by_broker && !steady ? closed_early_in_a_row_ + 1 : 0;
    news_ = closed_early_in_a_row_ >= 2 && !said_;
    said_ = said_ || news_;
    return failed();
}

bool Reconnecting::taken_over_news() {
    return news_;
}

}  // namespace bridge
