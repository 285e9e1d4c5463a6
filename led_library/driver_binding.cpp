// Init and DeInit: load and bind the outside driver libraries, start and stop hardware access.
//
// The status lines are kept word for word as existing clients and scripts know them, even where
// they name other files than the ones loaded ("WinIo.dll", "inpout32"): do not correct them.
// GetLEDError's sentence is where the real file and the system's own words are given.
#include "driver_binding.h"

#include "diagnostics.h"
#include "kav_morv_led.h"
#include "last_error.h"

#include <new>
#include <string>
#include <type_traits>

// Programs that load the library find the exports under these types.
static_assert(std::is_same<decltype(&Init), LedInitEntry>::value, "Init's type");
static_assert(std::is_same<decltype(&DeInit), LedDeInitEntry>::value, "DeInit's type");
static_assert(std::is_same<decltype(&SetLED), LedSetLEDEntry>::value, "SetLED's type");
static_assert(std::is_same<decltype(&GetLEDError), LedGetLEDErrorEntry>::value, "GetLEDError's type");
static_assert(std::is_same<decltype(&GetLED), LedGetLEDEntry>::value, "GetLED's type");

namespace led {
namespace {

constexpr const char* kWinIoFileName = "WinIo64.dll";
constexpr const char* kPortIoFileName = "inpoutx64.dll";
constexpr unsigned kStartDelayMs = 500;
constexpr unsigned kStopDelayMs = 200;

template <typename Function>
Function* bind(platform::LibraryHandle module, const char* name) {
    return reinterpret_cast<Function*>(platform::find_entry(module, name));
}

// Loading a loaded library again gives the same handle, and one more load for DeInit to undo. A
// failed load overwrites the handle: the loads it stood for can no longer be undone.
void record_load(platform::LibraryHandle loaded, platform::LibraryHandle& module, unsigned& loads) {
    loads = loaded == nullptr ? 0 : loaded == module ? loads + 1 : 1;
    module = loaded;
}

// Undoes one load; forgets the module when none is left, so that nothing is unloaded twice. On
// failure, `why_not` says why, naming the file.
bool undo_load(const char* file_name, platform::LibraryHandle& module, unsigned& loads, std::string& why_not) {
    const bool was_loaded = module != nullptr;
    std::string system_said;
    if (!platform::unload_library(module, &system_said)) {
        why_not = std::string(file_name) + " could not be unloaded: " +
                  (was_loaded ? system_said : "it is not loaded, so there is no load of it for this DeInit to undo") + ".";
        return false;
    }
    if (--loads == 0) {
        module = nullptr;
    }
    return true;
}

std::uint8_t fail_init(const std::string& why) {
    set_last_error(why);
    platform::sleep_ms(kStartDelayMs);
    led::write_diagnostic("Init :: Failed To Load WinIo64.dll Library.\n");
    return 0;
}

std::string not_loaded(const char* file_name, const std::string& why) {
    return std::string(file_name) + " could not be loaded: " + why;
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
    alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
    static std::mutex* const mutex = new (storage) std::mutex;
    return *mutex;
}

namespace {

// A process that forks while another of its threads is in a call would hand the child this mutex
// held by a thread the child does not have: the fork waits for the call to end instead.
void hold_binding_for_fork() {
    binding_mutex().lock();
}
void release_binding_after_fork() {
    binding_mutex().unlock();
}
[[maybe_unused]] const bool kForkWaitsForCalls =
    (platform::around_fork(hold_binding_for_fork, release_binding_after_fork), true);

}  // namespace

}  // namespace led

extern "C" uint8_t Init(void) {
    const std::lock_guard<std::mutex> serialised(led::binding_mutex());
    led::DriverBinding& binding = led::driver_binding();
    std::string winio_not_loaded;
    std::string port_io_not_loaded;
    led::record_load(platform::load_library(led::kWinIoFileName, &winio_not_loaded), binding.winio_module,
                     binding.winio_loads);
    led::record_load(platform::load_library(led::kPortIoFileName, &port_io_not_loaded), binding.port_io_module,
                     binding.port_io_loads);
    led::write_diagnostic("InitDll :: Loading WinIo64.dll.\n");

    if (binding.winio_module == nullptr) {
        led::write_diagnostic("InitDll :: Failed To Load WinIo.dll Library.\n");
        std::string why = led::not_loaded(led::kWinIoFileName, winio_not_loaded);
        if (binding.port_io_module == nullptr) {
            why += "; and " + led::not_loaded(led::kPortIoFileName, port_io_not_loaded);
        }
        return led::fail_init(why + ".");
    }
    led::write_diagnostic("InitDll :: Load WinIo.dll Library successfully.\n");
    binding.initialize_winio = led::bind<winio::InitializeWinIoFunction>(binding.winio_module, "InitializeWinIo");
    binding.get_phys_long = led::bind<winio::GetPhysLongFunction>(binding.winio_module, "GetPhysLong");
    binding.set_phys_long = led::bind<winio::SetPhysLongFunction>(binding.winio_module, "SetPhysLong");
    binding.shutdown_winio = led::bind<winio::ShutdownWinIoFunction>(binding.winio_module, "ShutdownWinIo");

    if (binding.port_io_module == nullptr) {
        led::write_diagnostic("InitDll :: Failed To Load inpout32 Library.\n");
        return led::fail_init(led::not_loaded(led::kPortIoFileName, port_io_not_loaded) + ".");
    }
    led::write_diagnostic("InitDll :: Load inpout32 Library successfully.\n");

    platform::sleep_ms(led::kStartDelayMs);
    // A WinIo64.dll without this entry cannot start hardware access: that is a failed start, with
    // a reason of its own, since no administrator rights would help.
    const bool startable = led::usable(binding, binding.initialize_winio);
    const std::uint8_t ready = startable ? binding.initialize_winio() : 0;
    if (ready != 0) {
        led::set_last_error("");
    } else if (startable) {
        led::set_last_error(
            "Hardware access did not start: the InitializeWinIo of WinIo64.dll failed, which it does when the "
            "program does not run with administrator rights or the kernel driver that comes with WinIo64.dll is "
            "missing.");
    } else {
        led::set_last_error(
            "Hardware access cannot start: WinIo64.dll has no entry named InitializeWinIo, so it is not the "
            "physical-memory driver library.");
    }
    led::write_diagnostic(ready != 0 ? "Init :: InitializeWinIo successfully.\n"
                                     : "Init :: Fail to InitializeWinIo.\n");
    return ready;
}

extern "C" uint8_t DeInit(void) {
    const std::lock_guard<std::mutex> serialised(led::binding_mutex());
    led::DriverBinding& binding = led::driver_binding();
    // Shutting down ends hardware access for the whole process, so only the DeInit that undoes the
    // last load may do it; an Init still open keeps its access. Nothing can tell whether it worked.
    if (binding.winio_loads == 1 && led::usable(binding, binding.shutdown_winio)) {
        binding.shutdown_winio();
    }
    platform::sleep_ms(led::kStopDelayMs);

    std::string why_not;
    const bool winio_unloaded =
        led::undo_load(led::kWinIoFileName, binding.winio_module, binding.winio_loads, why_not);
    if (winio_unloaded && binding.winio_module == nullptr) {
        led::forget_winio_entries(binding);
    }
    if (winio_unloaded &&
        led::undo_load(led::kPortIoFileName, binding.port_io_module, binding.port_io_loads, why_not)) {
        led::set_last_error("");
        return 1;
    }
    led::set_last_error(why_not);
    led::write_diagnostic("DeInit :: Failed To Unload dll Libraries.\n");
    return 0;
}

extern "C" const char* GetLEDError(void) {
    return led::last_error();
}
