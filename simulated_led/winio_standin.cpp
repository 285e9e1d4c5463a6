// Stand-in for the physical-memory driver library: the four entries the LED library binds, over
// the simulated LED's registers. Faults for tests come from LED_SIM_FAULTS, a comma-separated list
// of "init", "shutdown", "read:N" (the read of line N fails) and "slow" (every register access
// takes a random 0 to 10 ms, so unserialised processes overtake one another mid-colour). LED_SIM_JOURNAL names a
// file that every call is appended to.
#include "led_registers.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

namespace {

bool started = false;

constexpr int kSlowestAccessMs = 10;

bool fault_requested(const std::string& fault) {
    const char* faults = std::getenv("LED_SIM_FAULTS");
    if (faults == nullptr) {
        return false;
    }
    const std::string list = std::string(",") + faults + ",";
    return list.find("," + fault + ",") != std::string::npos;
}

void journal(const char* format, unsigned first = 0, unsigned second = 0, unsigned third = 0) {
    const char* path = std::getenv("LED_SIM_JOURNAL");
    if (path == nullptr) {
        return;
    }
    if (std::FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, format, first, second, third);
        std::fclose(file);
    }
}

void pace_access() {
    if (fault_requested("slow")) {
        static std::minstd_rand random(std::random_device{}());
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % (kSlowestAccessMs + 1)));
    }
}

}  // namespace

extern "C" {

WINIO_STANDIN_EXPORT std::uint8_t InitializeWinIo() {
    started = !fault_requested("init");
    journal("InitializeWinIo -> %u\n", started);
    return started ? 1 : 0;
}

WINIO_STANDIN_EXPORT std::uint8_t GetPhysLong(std::uintptr_t physical_address, std::uint32_t* value) {
    pace_access();
    const int line = sim::line_at(physical_address);
    sim::Registers registers{};
    const bool ok = started && line >= 0 && value != nullptr &&
                    !fault_requested(std::string("read:") + static_cast<char>('0' + line)) &&
                    sim::load_registers(registers);
    if (ok) {
        *value = registers[static_cast<std::size_t>(line)];
    }
    journal("GetPhysLong %08X -> %u %08X\n", static_cast<unsigned>(physical_address), ok,
            ok ? static_cast<unsigned>(*value) : 0u);
    return ok ? 1 : 0;
}

WINIO_STANDIN_EXPORT std::uint8_t SetPhysLong(std::uintptr_t physical_address, std::uint32_t value) {
    pace_access();
    const int line = sim::line_at(physical_address);
    const bool ok = started && line >= 0 && sim::store_register(static_cast<std::size_t>(line), value);
    journal("SetPhysLong %08X %08X -> %u\n", static_cast<unsigned>(physical_address), static_cast<unsigned>(value), ok);
    return ok ? 1 : 0;
}

WINIO_STANDIN_EXPORT std::uint8_t ShutdownWinIo() {
    started = false;
    const bool ok = !fault_requested("shutdown");
    journal("ShutdownWinIo -> %u\n", ok);
    return ok ? 1 : 0;
}

}  // extern "C"
