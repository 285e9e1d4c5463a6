// A platform and a driver that do nothing, so a benchmark of the library's logic measures the
// logic alone. Every global operator new is counted, to show what allocates.
#include "null_platform.h"

#include "diagnostics.h"
#include "platform.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

namespace {

std::atomic<long> allocations{0};
char fake_library;

}  // namespace

std::uint8_t null_get_phys_long(std::uintptr_t, std::uint32_t* value) {
    *value = 0x44000200;
    return 1;
}

std::uint8_t null_set_phys_long(std::uintptr_t, std::uint32_t) {
    return 1;
}

winio::InitializeWinIoFunction null_initialize_winio;
std::uint8_t null_initialize_winio() {
    return 1;
}

winio::ShutdownWinIoFunction null_shutdown_winio;
void null_shutdown_winio() {}

long heap_allocations() {
    return allocations.load();
}

void* operator new(std::size_t size) {
    ++allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace platform {

LibraryHandle load_library(const char*, std::string*) {
    return &fake_library;
}

EntryPoint find_entry(LibraryHandle, const char* name) {
    const std::string entry(name);
    if (entry == "GetPhysLong") {
        return reinterpret_cast<EntryPoint>(&null_get_phys_long);
    }
    if (entry == "SetPhysLong") {
        return reinterpret_cast<EntryPoint>(&null_set_phys_long);
    }
    if (entry == "ShutdownWinIo") {
        return reinterpret_cast<EntryPoint>(&null_shutdown_winio);
    }
    return reinterpret_cast<EntryPoint>(&null_initialize_winio);
}

bool unload_library(LibraryHandle, std::string*) {
    return true;
}

LockAttempt acquire_named_lock(const char*, unsigned) {
    return {LockOutcome::taken, nullptr};
}

void release_named_lock() {}

void close_named_lock() {}

void around_fork(void (*)(), void (*)()) {}

void hold_interrupts() {}

void release_interrupts() {}

void write_to_debugger(const char*) {}

void sleep_ms(unsigned) {}

}  // namespace platform

namespace led {

void write_diagnostic(const char*) {}

}  // namespace led
