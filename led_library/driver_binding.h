// The library's process-wide state: the two outside libraries and the four physical-memory
// entries bound from the first of them.
#pragma once

#include "platform.h"
#include "winio_entries.h"

#include <mutex>

namespace led {

struct DriverBinding {
    platform::LibraryHandle winio_module = nullptr;
    platform::LibraryHandle port_io_module = nullptr;
    // Loads of each module that no DeInit has undone yet; a module is forgotten when its count
    // falls to zero, and only then.
    unsigned winio_loads = 0;
    unsigned port_io_loads = 0;
    winio::InitializeWinIoFunction* initialize_winio = nullptr;
    winio::GetPhysLongFunction* get_phys_long = nullptr;
    winio::SetPhysLongFunction* set_phys_long = nullptr;
    winio::ShutdownWinIoFunction* shutdown_winio = nullptr;
};

DriverBinding& driver_binding();

// Serialises Init, DeInit and SetLED within the process: each holds it for its whole run. It is
// never destroyed, so a thread still calling in while the host's exit handlers run finds it.
std::mutex& binding_mutex();

// An entry may be called only while the module it came from is loaded; a failed Init leaves the
// module null and DeInit forgets it once its last load is undone.
template <typename Entry>
bool usable(const DriverBinding& binding, Entry entry) {
    return binding.winio_module != nullptr && entry != nullptr;
}

}  // namespace led
