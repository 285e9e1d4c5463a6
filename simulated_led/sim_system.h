// The few operating-system services the simulated LED needs, one implementation per system.
#pragma once

#include <functional>
#include <string>

namespace sim {

// Folder of the executable or library this code is linked into; empty if it cannot be found.
std::string own_folder();

// Opens (creating it if needed) the file at path and holds an exclusive lock on it, shared by all
// processes, while update runs on its contents. When update returns true, the file is replaced by
// what it left in contents. Returns false when the file could not be opened, locked, read or written.
bool with_locked_file(const std::string& path, const std::function<bool(std::string& contents)>& update);

// Whether standard output is a terminal that understands colour escape sequences.
bool stdout_is_colour_terminal();

}  // namespace sim
