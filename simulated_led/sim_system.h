// The few operating-system services the simulated LED needs beyond the platform layer's, one
// implementation per system.
#pragma once

#include <cstddef>
#include <string>

namespace sim {

// A file mapped into memory and shared with every other process that maps it, as the registers
// of real hardware are shared. A new or empty file is first filled from `initial`, under an
// exclusive lock so that two first users cannot both fill it. Anything else at the path that is
// not a regular file of exactly `size` bytes is refused, symbolic links included, so that a
// mistyped path cannot overwrite someone's file.
class SharedFileMapping {
public:
    SharedFileMapping(const std::string& path, const void* initial, std::size_t size);
    ~SharedFileMapping();
    SharedFileMapping(const SharedFileMapping&) = delete;
    SharedFileMapping& operator=(const SharedFileMapping&) = delete;

    // The mapped bytes, or null when the file could not be opened, filled or mapped.
    void* data() const { return data_; }
    // Why data() is null, in a few words.
    const std::string& problem() const { return problem_; }

private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
    [[maybe_unused]] void* mapping_ = nullptr;  // the system's mapping object, where it has one
    std::string problem_;
};

// Whether standard output is a terminal that understands colour escape sequences.
bool stdout_is_color_terminal();

}  // namespace sim
