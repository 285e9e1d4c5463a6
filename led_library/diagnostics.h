#pragma once

namespace led {

// Writes one status line (ending in a newline) to standard error, as it stands, and to the
// debugger output where the system has one.
void write_diagnostic(const char* line);

}  // namespace led
