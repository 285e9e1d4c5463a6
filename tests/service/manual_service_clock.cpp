#include "manual_service_clock.h"

#include <atomic>

namespace {

std::atomic<service::Time> now_set{service::Time{} + std::chrono::hours(1)};

}  // namespace

namespace manual_service_clock {

void set(service::Time now) {
    now_set = now;
}

}  // namespace manual_service_clock

service::ServiceClock::time_point service::ServiceClock::now() noexcept {
    return now_set;
}

// The test's event loop is polled, never left to sleep: a timer is looked at each time.
service::Clock::duration service::ServiceWaitTraits::to_wait_duration(const Clock::duration&) {
    return Clock::duration::zero();
}

service::Clock::duration service::ServiceWaitTraits::to_wait_duration(const Time&) {
    return Clock::duration::zero();
}
