#include "recording_platform.h"

#include "diagnostics.h"
#include "kav_morv_led.h"
#include "platform.h"
#include "winio_entries.h"

#include <cstdio>

namespace {

// Library handles are addresses of these slots, so a handle names its library.
const char* const kKnownLibraries[] = {"WinIo64.dll", "inpoutx64.dll", "kav_rv5520_led.dll"};

const char* library_name(platform::LibraryHandle handle) {
    for (const char* const& name : kKnownLibraries) {
        if (handle == static_cast<const void*>(&name)) {
            return name;
        }
    }
    return "null";
}

void record(const std::string& event) {
    fake_world().journal.push_back(event);
}

bool loaded(const char* library) {
    if (fake_world().load_count[library] > 0) {
        return true;
    }
    ++fake_world().calls_into_unloaded_code;
    return false;
}

bool hardware_accessible() {
    return loaded("WinIo64.dll") && !fake_world().shut_down;
}

std::uint8_t fake_initialize_winio() {
    record("InitializeWinIo");
    FakeWorld& world = fake_world();
    if (!loaded("WinIo64.dll") || !world.initialize_succeeds) {
        return 0;
    }
    world.shut_down = false;
    return 1;
}

void fake_shutdown_winio() {
    record("ShutdownWinIo");
    if (loaded("WinIo64.dll")) {
        fake_world().shut_down = true;
    }
}

std::uint8_t fake_get_phys_long(std::uintptr_t address, std::uint32_t* value) {
    record("read " + hex32(static_cast<std::uint32_t>(address)));
    FakeWorld& world = fake_world();
    if (!hardware_accessible() || world.failing_reads.count(address) != 0 || world.registers.count(address) == 0) {
        return 0;
    }
    *value = world.registers[address];
    return 1;
}

std::uint8_t fake_set_phys_long(std::uintptr_t address, std::uint32_t value) {
    record("write " + hex32(static_cast<std::uint32_t>(address)) + " " + hex32(value));
    if (!hardware_accessible()) {
        return 0;
    }
    fake_world().registers[address] = value;
    return 1;
}

// The LED library as the tester sees it.
std::uint8_t fake_library_init() {
    record("Init");
    return loaded("kav_rv5520_led.dll") ? fake_world().library_init_result : 0;
}

std::uint8_t fake_library_deinit() {
    record("DeInit");
    return loaded("kav_rv5520_led.dll") ? fake_world().library_deinit_result : 0;
}

void fake_library_set_led(LedColorCode code) {
    record("SetLED " + std::to_string(code));
    static_cast<void>(loaded("kav_rv5520_led.dll"));
}

struct FakeEntry {
    const char* library;
    const char* name;
    platform::EntryPoint entry;
};

// Each entry is converted from the type its callers use, so a fake of the wrong type does not build.
template <typename Entry>
platform::EntryPoint entry_of(Entry function) {
    return reinterpret_cast<platform::EntryPoint>(function);
}

const FakeEntry kFakeEntries[] = {
    {"WinIo64.dll", "InitializeWinIo", entry_of<winio::InitializeWinIoFunction*>(&fake_initialize_winio)},
    {"WinIo64.dll", "GetPhysLong", entry_of<winio::GetPhysLongFunction*>(&fake_get_phys_long)},
    {"WinIo64.dll", "SetPhysLong", entry_of<winio::SetPhysLongFunction*>(&fake_set_phys_long)},
    {"WinIo64.dll", "ShutdownWinIo", entry_of<winio::ShutdownWinIoFunction*>(&fake_shutdown_winio)},
    {"kav_rv5520_led.dll", "Init", entry_of<LedInitEntry>(&fake_library_init)},
    {"kav_rv5520_led.dll", "DeInit", entry_of<LedDeInitEntry>(&fake_library_deinit)},
    {"kav_rv5520_led.dll", "SetLED", entry_of<LedSetLEDEntry>(&fake_library_set_led)},
};

}  // namespace

FakeWorld& fake_world() {
    static FakeWorld world;
    return world;
}

void reset_fake_world() {
    fake_world() = FakeWorld{};
}

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

Journal take_journal() {
    Journal journal;
    journal.swap(fake_world().journal);
    return journal;
}

namespace platform {

LibraryHandle load_library(const char* file_name, std::string* why_not) {
    record(std::string("load ") + file_name);
    FakeWorld& world = fake_world();
    if (world.missing_libraries.count(file_name) == 0) {
        for (const char* const& name : kKnownLibraries) {
            if (std::string(name) == file_name) {
                ++world.load_count[name];
                return const_cast<const char**>(&name);
            }
        }
    }
    if (why_not != nullptr) {
        *why_not = world.not_found_reason.empty() ? kFakeNotFound : world.not_found_reason;
    }
    return nullptr;
}

EntryPoint find_entry(LibraryHandle library, const char* entry_name) {
    record(std::string("find ") + entry_name);
    if (fake_world().missing_entries.count(entry_name) != 0) {
        return nullptr;
    }
    for (const FakeEntry& entry : kFakeEntries) {
        if (std::string(entry.library) == library_name(library) && std::string(entry.name) == entry_name) {
            return entry.entry;
        }
    }
    return nullptr;
}

bool unload_library(LibraryHandle library, std::string* why_not) {
    const std::string name = library_name(library);
    record("unload " + name);
    FakeWorld& world = fake_world();
    if (library == nullptr || world.failing_unloads.count(name) != 0 || world.load_count[name] == 0) {
        if (why_not != nullptr) {
            *why_not = kFakeUnloadRefused;
        }
        return false;
    }
    --world.load_count[name];
    return true;
}

LockAttempt acquire_named_lock(const char* name, unsigned timeout_ms) {
    record(std::string("lock ") + name + " " + std::to_string(timeout_ms));
    return fake_world().lock_attempt;
}

void release_named_lock() {
    record("unlock");
}

// Called when the test program exits, after the fake world may be gone: it must not touch it.
void close_named_lock() {}

void around_fork(void (*)(), void (*)()) {}

void hold_interrupts() {
    record("hold interrupts");
}

void release_interrupts() {
    record("release interrupts");
}

void sleep_ms(unsigned milliseconds) {
    record("sleep " + std::to_string(milliseconds));
}

}  // namespace platform

namespace led {

void write_diagnostic(const char* line) {
    record(std::string("err ") + line);
}

}  // namespace led
