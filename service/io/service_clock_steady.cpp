#include "service_clock.h"

#include <algorithm>

namespace service {

ServiceClock::time_point ServiceClock::now() noexcept {
    return Clock::now();
}

Clock::duration ServiceWaitTraits::to_wait_duration(const Clock::duration& duration) {
    return duration;
}

Clock::duration ServiceWaitTraits::to_wait_duration(const Time& due) {
    return std::max(Clock::duration::zero(), due - Clock::now());
}

}  // namespace service
