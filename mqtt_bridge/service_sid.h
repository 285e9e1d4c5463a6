// The SID Windows gives a service's own account (NT SERVICE\NAME), which the LED service's pipe
// and the bridge's settings file let in: derived from the service's name as the system does, so
// that no copy of it can drift from the name.
#pragma once

#include <string>

namespace bridge {

// S-1-5-80- and the SHA-1 of `name` in capitals, in UTF-16LE, as five 32-bit little-endian
// numbers. `name` is ASCII, as the services' names are.
std::string service_sid_of(const std::string& name);

}  // namespace bridge
