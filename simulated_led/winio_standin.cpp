// Stand-in for the physical-memory driver library: the four entries the LED library binds, over
// the simulated LED's registers. Like a real driver it serves any thread at any time: a call
// before InitializeWinIo or after ShutdownWinIo fails, and nothing is ever freed under a caller.
//
// For tests, read by each InitializeWinIo: LED_SIM_FAULTS, a comma-separated list of "init",
// "read:N" (the read of line N fails) and "slow" (every register access takes a random 0 to 30 ms,
// so unserialised processes overtake one another mid-colour); LED_SIM_JOURNAL, a file that every
// call is appended to, each line after the microseconds of the system's monotonic clock.
#include "led_registers.h"
#include "winio_entries.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <thread>

extern "C" {
WINIO_STANDIN_EXPORT winio::InitializeWinIoFunction InitializeWinIo;
WINIO_STANDIN_EXPORT winio::GetPhysLongFunction GetPhysLong;
WINIO_STANDIN_EXPORT winio::SetPhysLongFunction SetPhysLong;
WINIO_STANDIN_EXPORT winio::ShutdownWinIoFunction ShutdownWinIo;
}

namespace {

struct Faults {
    bool slow = false;
    int failing_read_line = -1;
};

constexpr int kSlowestAccessMs = 30;

struct Driver {
    // One call at a time, as on the hardware's bus.
    std::mutex mutex;
    // Mapped by the first InitializeWinIo that finds the state file usable, then kept.
    std::optional<sim::RegisterFile> registers;
    bool started = false;
    Faults faults;
    // Empty for no journal. Kept here, not on the heap, which this state would hold on to after the
    // module is unloaded.
    char journal_path[4096] = {};
};

// Never destroyed: a host's thread may still call in while the host's exit handlers run.
Driver& driver() {
    alignas(Driver) static unsigned char storage[sizeof(Driver)];
    static Driver* const instance = new (storage) Driver;
    return *instance;
}

bool listed(const std::string& list, const std::string& item) {
    return ("," + list + ",").find("," + item + ",") != std::string::npos;
}

Faults requested_faults(const std::string& list) {
    Faults requested;
    requested.slow = listed(list, "slow");
    for (int line = 0; line < static_cast<int>(sim::kLineCount); ++line) {
        if (listed(list, std::string("read:") + static_cast<char>('0' + line))) {
            requested.failing_read_line = line;
        }
    }
    return requested;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

void journal(const Driver& state, const char* format, unsigned first = 0, unsigned second = 0, unsigned third = 0) {
    if (state.journal_path[0] == '\0') {
        return;
    }
    const auto microseconds =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch());
    if (std::FILE* file = std::fopen(state.journal_path, "a")) {
        std::fprintf(file, "%lld ", static_cast<long long>(microseconds.count()));
        std::fprintf(file, format, first, second, third);
        std::fclose(file);
    }
}

void pace_access(const Driver& state) {
    if (state.faults.slow) {
        static std::minstd_rand random(std::random_device{}());
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % (kSlowestAccessMs + 1)));
    }
}

// The register file, mapped now if it was not; empty when the state file cannot be used.
bool map_registers(Driver& state) {
    if (!state.registers) {
        state.registers.emplace();
        if (!state.registers->usable()) {
            std::fprintf(stderr, "WinIo64.dll stand-in: cannot use the state file %s: %s\n",
                         sim::state_file_path().c_str(), state.registers->problem().c_str());
            state.registers.reset();
        }
    }
    return state.registers.has_value();
}

}  // namespace

extern "C" {

std::uint8_t InitializeWinIo() {
    Driver& state = driver();
    const std::lock_guard<std::mutex> one_call(state.mutex);
    const std::string fault_list = environment("LED_SIM_FAULTS");
    const std::string journal_path = environment("LED_SIM_JOURNAL");
    if (journal_path.size() >= sizeof state.journal_path) {
        std::fprintf(stderr, "WinIo64.dll stand-in: LED_SIM_JOURNAL is too long; nothing is journalled\n");
    }
    static_cast<void>(std::snprintf(state.journal_path, sizeof state.journal_path, "%s",
                                    journal_path.size() < sizeof state.journal_path ? journal_path.c_str() : ""));
    state.faults = requested_faults(fault_list);
    state.started = !listed(fault_list, "init") && map_registers(state);
    journal(state, "InitializeWinIo -> %u\n", state.started);
    return state.started ? 1 : 0;
}

std::uint8_t GetPhysLong(std::uintptr_t physical_address, std::uint32_t* value) {
    Driver& state = driver();
    const std::lock_guard<std::mutex> one_call(state.mutex);
    pace_access(state);
    const int line = sim::line_at(physical_address);
    const bool ok = state.started && line >= 0 && value != nullptr && line != state.faults.failing_read_line;
    if (ok) {
        *value = state.registers->load(static_cast<std::size_t>(line));
    }
    journal(state, "GetPhysLong %08X -> %u %08X\n", static_cast<unsigned>(physical_address), ok,
            ok ? static_cast<unsigned>(*value) : 0u);
    return ok ? 1 : 0;
}

std::uint8_t SetPhysLong(std::uintptr_t physical_address, std::uint32_t value) {
    Driver& state = driver();
    const std::lock_guard<std::mutex> one_call(state.mutex);
    pace_access(state);
    const int line = sim::line_at(physical_address);
    const bool ok = state.started && line >= 0;
    if (ok) {
        state.registers->store(static_cast<std::size_t>(line), value);
    }
    journal(state, "SetPhysLong %08X %08X -> %u\n", static_cast<unsigned>(physical_address),
            static_cast<unsigned>(value), ok);
    return ok ? 1 : 0;
}

void ShutdownWinIo() {
    Driver& state = driver();
    const std::lock_guard<std::mutex> one_call(state.mutex);
    state.started = false;
    journal(state, "ShutdownWinIo\n");
}

}  // extern "C"
