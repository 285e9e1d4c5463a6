#include "service_clock.h"

namespace service {

ServiceClock::time_point ServiceClock::now() noexcept {
    return Clock::now();
}

}  // namespace service
