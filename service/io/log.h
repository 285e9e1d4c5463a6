// Where the service says what it does: standard error in the foreground (which systemd passes to
// the journal), the system's event log when Windows' service manager runs it.
#pragma once

#include <functional>
#include <string>

namespace service {

// Writes one line, without its line feed.
void log(const std::string& line);

// Sends every later line to `sink` instead of standard error.
void log_to(std::function<void(const std::string&)> sink);

}  // namespace service
