// The clock the event loop reads and sets its timers by: the system's steady clock in the
// service (service_clock_steady.cpp), one that the tests move by hand in theirs. A seam at link
// time, as the platform layer's, so that the server's every moment can be chosen by a test.
#pragma once

#include "indications.h"

#include <asio/basic_waitable_timer.hpp>

namespace service {

struct ServiceClock {
    using duration = Clock::duration;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = Time;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};

// How long the event loop may sleep before a timer of that clock is due.
struct ServiceWaitTraits {
    static Clock::duration to_wait_duration(const Clock::duration& duration);
    static Clock::duration to_wait_duration(const Time& due);
};

using Timer = asio::basic_waitable_timer<ServiceClock, ServiceWaitTraits>;

}  // namespace service
