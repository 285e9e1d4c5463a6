#include "recording_platform.h"

#include "diagnostics.h"
#include "platform.h"

#include <cstdio>

namespace {

// Library handles are addresses of these slots, so a handle names its library.
const char* const kKnownLibraries[] = {"WinIo64.dll", "inpoutx64.dll"};

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

bool winio_loaded() {
    if (fake_world().load_count["WinIo64.dll"] > 0) {
        return true;
    }
    ++fake_world().calls_into_unloaded_code;
    return false;
}

std::uint8_t fake_initialize_winio() {
    record("InitializeWinIo");
    return winio_loaded() && fake_world().initialize_succeeds ? 1 : 0;
}

std::uint8_t fake_shutdown_winio() {
    record("ShutdownWinIo");
    return winio_loaded() && fake_world().shutdown_succeeds ? 1 : 0;
}

std::uint8_t fake_get_phys_long(std::uintptr_t address, std::uint32_t* value) {
    record("read " + hex32(static_cast<std::uint32_t>(address)));
    FakeWorld& world = fake_world();
    if (!winio_loaded() || world.failing_reads.count(address) != 0 || world.registers.count(address) == 0) {
        return 0;
    }
    *value = world.registers[address];
    return 1;
}

std::uint8_t fake_set_phys_long(std::uintptr_t address, std::uint32_t value) {
    record("write " + hex32(static_cast<std::uint32_t>(address)) + " " + hex32(value));
    if (!winio_loaded()) {
        return 0;
    }
    fake_world().registers[address] = value;
    return 1;
}

struct FakeEntry {
    const char* name;
    platform::EntryPoint entry;
};

const FakeEntry kWinIoEntries[] = {
    {"InitializeWinIo", reinterpret_cast<platform::EntryPoint>(&fake_initialize_winio)},
    {"GetPhysLong", reinterpret_cast<platform::EntryPoint>(&fake_get_phys_long)},
    {"SetPhysLong", reinterpret_cast<platform::EntryPoint>(&fake_set_phys_long)},
    {"ShutdownWinIo", reinterpret_cast<platform::EntryPoint>(&fake_shutdown_winio)},
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

LibraryHandle load_library(const char* file_name) {
    record(std::string("load ") + file_name);
    FakeWorld& world = fake_world();
    if (world.missing_libraries.count(file_name) != 0) {
        return nullptr;
    }
    for (const char* const& name : kKnownLibraries) {
        if (std::string(name) == file_name) {
            ++world.load_count[name];
            return const_cast<const char**>(&name);
        }
    }
    return nullptr;
}

EntryPoint find_entry(LibraryHandle library, const char* entry_name) {
    record(std::string("find ") + entry_name);
    if (std::string(library_name(library)) != "WinIo64.dll" || fake_world().missing_entries.count(entry_name) != 0) {
        return nullptr;
    }
    for (const FakeEntry& entry : kWinIoEntries) {
        if (std::string(entry.name) == entry_name) {
            return entry.entry;
        }
    }
    return nullptr;
}

bool unload_library(LibraryHandle library) {
    const std::string name = library_name(library);
    record("unload " + name);
    FakeWorld& world = fake_world();
    if (library == nullptr || world.failing_unloads.count(name) != 0 || world.load_count[name] == 0) {
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

void sleep_ms(unsigned milliseconds) {
    record("sleep " + std::to_string(milliseconds));
}

}  // namespace platform

namespace led {

void write_diagnostic(const char* line) {
    record(std::string("err ") + line);
}

}  // namespace led
