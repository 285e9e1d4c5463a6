// Why the calling thread's last Init or DeInit failed, for GetLEDError.
#pragma once

#include <string>

namespace led {

// Records the sentence for this thread, cut at a character boundary if it is very long; an empty
// one means the call succeeded.
void set_last_error(const std::string& sentence);

// This thread's sentence; "" before its first Init or DeInit.
const char* last_error();

}  // namespace led
