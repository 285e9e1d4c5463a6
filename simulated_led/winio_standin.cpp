// Stand-in for the physical-memory driver library: the four entries the LED library binds, over
// the simulated LED's registers.
//
// For tests, read once by InitializeWinIo: LED_SIM_FAULTS, a comma-separated list of "init",
// "shutdown", "read:N" (the read of line N fails) and "slow" (every register access takes a random
// 0 to 30 ms, so unserialised processes overtake one another mid-colour); LED_SIM_JOURNAL, a file
// that every call is appended to.
#include "led_registers.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>

namespace {

struct Faults {
    bool shutdown = false;
    bool slow = false;
    int failing_read_line = -1;
};

// Set from InitializeWinIo to ShutdownWinIo.
std::unique_ptr<sim::RegisterFile> registers;
Faults faults;
std::string journal_path;

constexpr int kSlowestAccessMs = 30;

bool listed(const std::string& list, const std::string& item) {
    return ("," + list + ",").find("," + item + ",") != std::string::npos;
}

Faults requested_faults(const std::string& list) {
    Faults requested;
    requested.shutdown = listed(list, "shutdown");
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

void journal(const char* format, unsigned first = 0, unsigned second = 0, unsigned third = 0) {
    if (journal_path.empty()) {
        return;
    }
    if (std::FILE* file = std::fopen(journal_path.c_str(), "a")) {
        std::fprintf(file, format, first, second, third);
        std::fclose(file);
    }
}

void pace_access() {
    if (faults.slow) {
        static std::minstd_rand random(std::random_device{}());
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % (kSlowestAccessMs + 1)));
    }
}

}  // namespace

extern "C" {

WINIO_STANDIN_EXPORT std::uint8_t InitializeWinIo() {
    const std::string fault_list = environment("LED_SIM_FAULTS");
    journal_path = environment("LED_SIM_JOURNAL");
    faults = requested_faults(fault_list);
    registers.reset();
    if (!listed(fault_list, "init")) {
        registers = std::make_unique<sim::RegisterFile>();
        if (!registers->usable()) {
            std::fprintf(stderr, "WinIo64.dll stand-in: cannot use the state file %s: %s\n",
                         sim::state_file_path().c_str(), registers->problem().c_str());
            registers.reset();
        }
    }
    journal("InitializeWinIo -> %u\n", registers != nullptr);
    return registers != nullptr ? 1 : 0;
}

WINIO_STANDIN_EXPORT std::uint8_t GetPhysLong(std::uintptr_t physical_address, std::uint32_t* value) {
    pace_access();
    const int line = sim::line_at(physical_address);
    const bool ok = registers != nullptr && line >= 0 && value != nullptr && line != faults.failing_read_line;
    if (ok) {
        *value = registers->load(static_cast<std::size_t>(line));
    }
    journal("GetPhysLong %08X -> %u %08X\n", static_cast<unsigned>(physical_address), ok,
            ok ? static_cast<unsigned>(*value) : 0u);
    return ok ? 1 : 0;
}

WINIO_STANDIN_EXPORT std::uint8_t SetPhysLong(std::uintptr_t physical_address, std::uint32_t value) {
    pace_access();
    const int line = sim::line_at(physical_address);
    const bool ok = registers != nullptr && line >= 0;
    if (ok) {
        registers->store(static_cast<std::size_t>(line), value);
    }
    journal("SetPhysLong %08X %08X -> %u\n", static_cast<unsigned>(physical_address), static_cast<unsigned>(value), ok);
    return ok ? 1 : 0;
}

WINIO_STANDIN_EXPORT std::uint8_t ShutdownWinIo() {
    registers.reset();
    const bool ok = !faults.shutdown;
    journal("ShutdownWinIo -> %u\n", ok);
    return ok ? 1 : 0;
}

}  // extern "C"
