// The four entries of the physical-memory driver library, WinIo64.dll, with the types its published
// header gives them. The library binds them, and the stand-in, the unit tests' fake and the
// benchmarks define them, all through these types, so that a wrong one does not compile.
#pragma once

#include <cstdint>

namespace winio {

// Starts access to physical memory: loads the kernel driver, which needs administrator rights.
// A one-byte bool: zero when access did not start.
using InitializeWinIoFunction = std::uint8_t();

// Reads the 32-bit word at a physical address into *value; zero when nothing was read.
using GetPhysLongFunction = std::uint8_t(std::uintptr_t physical_address, std::uint32_t* value);

// Writes the 32-bit word at a physical address.
using SetPhysLongFunction = std::uint8_t(std::uintptr_t physical_address, std::uint32_t value);

// Ends access to physical memory for the whole process. It returns nothing, so whether it
// succeeded cannot be known.
using ShutdownWinIoFunction = void();

}  // namespace winio
