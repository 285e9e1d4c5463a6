// The few operating-system services the library and the tester need. One implementation per
// operating system is linked in by CMake; the unit tests link a recording fake instead.
#pragma once

namespace platform {

using LibraryHandle = void*;

// A generic code pointer; callers cast it to the entry's real type before calling it.
using EntryPoint = void (*)();

// Loads a shared library by its bare file name ("WinIo64.dll").
// Looks in the folder of the module this code is linked into, then in the program's folder, then
// in the system's library folders; never in the current directory or on PATH.
// Returns null when no such library could be loaded, and for a name holding a path separator,
// which could point anywhere. Nothing is written anywhere.
LibraryHandle load_library(const char* file_name);

// Finds an exported entry by name. Returns null when the library has no such entry or the handle
// is null.
EntryPoint find_entry(LibraryHandle library, const char* entry_name);

// Drops one load of the library. Returns false when the system refuses, and for a null handle,
// in which case nothing is called.
bool unload_library(LibraryHandle library);

// Takes the lock that serialises access to the LED's registers across every process on the
// machine, waiting at most timeout_ms. The system releases it if its holder dies. Returns false when
// it could not be taken in time, or at all; there is then nothing to release.
bool acquire_register_lock(unsigned timeout_ms);

// Releases the lock taken by acquire_register_lock.
void release_register_lock();

// Blocks the calling thread for at least the given number of milliseconds.
void sleep_ms(unsigned milliseconds);

}  // namespace platform
