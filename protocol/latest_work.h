// LatestWork's home is program_support/ now; this name is kept only until the MQTT bridge
// includes that header and links program_support itself.
#pragma once

#include "../program_support/latest_work.h"

namespace protocol {
using program_support::LatestWork;
}  // namespace protocol
