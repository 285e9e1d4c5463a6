// Where the triggers program says what it does: standard error (which systemd passes to the
// journal), or the Application event log when Windows' service manager runs it.
#pragma once

#include <functional>
#include <string>

namespace triggers {

// Writes one line, from any thread.
void say(const std::string& line);
// Sends every later line to `sink` instead of standard error.
void say_to(std::function<void(const std::string&)> sink);

}  // namespace triggers
