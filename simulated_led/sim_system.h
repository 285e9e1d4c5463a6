// The few operating-system services the simulated LED needs, one implementation per system.
#pragma once

#include <cstddef>
#include <string>

namespace sim {

// Folder of the executable or library this code is linked into; empty if it cannot be found.
std::string own_folder();

// A file mapped into memory and shared with every other process that maps it, as the registers
// of real hardware are shared. A file that is new, or not exactly `size` bytes long, is first
// filled from `initial`, under an exclusive lock so that two first users cannot both fill it.
class SharedFileMapping {
public:
    SharedFileMapping(const std::string& path, const void* initial, std::size_t size);
    ~SharedFileMapping();
    SharedFileMapping(const SharedFileMapping&) = delete;
    SharedFileMapping& operator=(const SharedFileMapping&) = delete;

    // The mapped bytes, or null when the file could not be opened, filled or mapped.
    void* data() const { return data_; }

private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
    void* mapping_ = nullptr;  // the system's mapping object, where it has one
};

// Whether standard output is a terminal that understands colour escape sequences.
bool stdout_is_colour_terminal();

}  // namespace sim
