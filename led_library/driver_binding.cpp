// Init and DeInit: load and bind the outside driver libraries, start and stop hardware access.
//
// The status lines are kept word for word as existing clients and scripts know them, even where
// they name other files than the ones loaded ("WinIo.dll", "inpout32"): do not correct them.
#include "driver_binding.h"

#include "diagnostics.h"
#include "kav_morv_led.h"

namespace led {
namespace {

constexpr const char* kWinIoFileName = "WinIo64.dll";
constexpr const char* kPortIoFileName = "inpoutx64.dll";
constexpr unsigned kStartDelayMs = 500;
constexpr unsigned kStopDelayMs = 200;

template <typename Entry>
Entry bind(platform::LibraryHandle module, const char* name) {
    return reinterpret_cast<Entry>(platform::find_entry(module, name));
}

// Loading a loaded library again gives the same handle, and one more load for DeInit to undo. A
// failed load overwrites the handle: the loads it stood for can no longer be undone.
void record_load(platform::LibraryHandle loaded, platform::LibraryHandle& module, unsigned& loads) {
    loads = loaded == nullptr ? 0 : loaded == module ? loads + 1 : 1;
    module = loaded;
}

// Undoes one load; forgets the module when none is left, so that nothing is unloaded twice.
bool undo_load(platform::LibraryHandle& module, unsigned& loads) {
    if (!platform::unload_library(module)) {
        return false;
    }
    if (--loads == 0) {
        module = nullptr;
    }
    return true;
}

std::uint8_t fail_init() {
    platform::sleep_ms(kStartDelayMs);
    led::write_diagnostic("Init :: Failed To Load WinIo64.dll Library.\n");
    return 0;
}

void forget_winio_entries(DriverBinding& binding) {
    binding.initialize_winio = nullptr;
    binding.get_phys_long = nullptr;
    binding.set_phys_long = nullptr;
    binding.shutdown_winio = nullptr;
}

}  // namespace

DriverBinding& driver_binding() {
    static DriverBinding binding;
    return binding;
}

std::mutex& binding_mutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace led

extern "C" uint8_t Init(void) {
    const std::lock_guard<std::mutex> serialised(led::binding_mutex());
    led::DriverBinding& binding = led::driver_binding();
    led::record_load(platform::load_library(led::kWinIoFileName), binding.winio_module, binding.winio_loads);
    led::record_load(platform::load_library(led::kPortIoFileName), binding.port_io_module, binding.port_io_loads);
    led::write_diagnostic("InitDll :: Loading WinIo64.dll.\n");

    if (binding.winio_module == nullptr) {
        led::write_diagnostic("InitDll :: Failed To Load WinIo.dll Library.\n");
        return led::fail_init();
    }
    led::write_diagnostic("InitDll :: Load WinIo.dll Library successfully.\n");
    binding.initialize_winio = led::bind<led::InitializeWinIoEntry>(binding.winio_module, "InitializeWinIo");
    binding.get_phys_long = led::bind<led::GetPhysLongEntry>(binding.winio_module, "GetPhysLong");
    binding.set_phys_long = led::bind<led::SetPhysLongEntry>(binding.winio_module, "SetPhysLong");
    binding.shutdown_winio = led::bind<led::ShutdownWinIoEntry>(binding.winio_module, "ShutdownWinIo");

    if (binding.port_io_module == nullptr) {
        led::write_diagnostic("InitDll :: Failed To Load inpout32 Library.\n");
        return led::fail_init();
    }
    led::write_diagnostic("InitDll :: Load inpout32 Library successfully.\n");

    platform::sleep_ms(led::kStartDelayMs);
    // A WinIo64.dll without this entry cannot start hardware access: that is a failed start.
    const std::uint8_t ready = led::usable(binding, binding.initialize_winio) ? binding.initialize_winio() : 0;
    led::write_diagnostic(ready != 0 ? "Init :: InitializeWinIo successfully.\n"
                                     : "Init :: Fail to InitializeWinIo.\n");
    return ready;
}

extern "C" uint8_t DeInit(void) {
    const std::lock_guard<std::mutex> serialised(led::binding_mutex());
    led::DriverBinding& binding = led::driver_binding();
    if (led::usable(binding, binding.shutdown_winio) && binding.shutdown_winio() == 0) {
        led::write_diagnostic("DeInit :: Fail to ShutdownWinIo.\n");
    }
    platform::sleep_ms(led::kStopDelayMs);

    const bool winio_unloaded = led::undo_load(binding.winio_module, binding.winio_loads);
    if (winio_unloaded && binding.winio_module == nullptr) {
        led::forget_winio_entries(binding);
    }
    if (winio_unloaded && led::undo_load(binding.port_io_module, binding.port_io_loads)) {
        return 1;
    }
    led::write_diagnostic("DeInit :: Failed To Unload dll Libraries.\n");
    return 0;
}
