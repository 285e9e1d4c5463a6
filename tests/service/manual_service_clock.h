// The server's clock in its tests: it stands still until a test moves it.
#pragma once

#include "service_clock.h"

namespace manual_service_clock {

void set(service::Time now);

}  // namespace manual_service_clock
