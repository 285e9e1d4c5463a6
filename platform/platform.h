// The few operating-system services the library, the tester and the simulated LED need. One
// implementation per operating system is linked in by CMake; the unit tests link a recording fake
// instead.
#pragma once

#include <string>

namespace platform {

using LibraryHandle = void*;

// A generic code pointer; callers cast it to the entry's real type before calling it.
using EntryPoint = void (*)();

// The folder of the executable or library this code is linked into, as an absolute UTF-8 path;
// empty when the system cannot tell. It is where the loader found the module, so a later change of
// the working directory does not move it. It stays valid while the host's exit handlers run.
const char* own_module_folder();

// Loads a shared library by its bare file name ("WinIo64.dll").
// Looks in own_module_folder(), then in the program's folder, then (on Windows) in the system
// folder; never in the current directory, on PATH or on LD_LIBRARY_PATH.
// Returns null when no such library could be loaded, and for a name holding a path separator,
// which could point anywhere; `why_not`, when given, then receives where the library was looked
// for and what the system said of each place, as the end of a sentence ("looked for beside this
// library as /opt/led/WinIo64.dll (cannot open shared object file: No such file or directory)").
// Nothing is written anywhere.
LibraryHandle load_library(const char* file_name, std::string* why_not = nullptr);

// Finds an exported entry by name. Returns null when the library has no such entry or the handle
// is null.
EntryPoint find_entry(LibraryHandle library, const char* entry_name);

// Drops one load of the library. Returns false when the system refuses, and for a null handle,
// in which case nothing is called; `why_not`, when given, then receives what the system said.
bool unload_library(LibraryHandle library, std::string* why_not = nullptr);

enum class LockOutcome {
    taken,      // held now: release it with release_named_lock
    timed_out,  // another holder kept it for the whole wait
    unusable,   // there is no lock to wait for; a later call tries again
};

struct LockAttempt {
    LockOutcome outcome;
    const char* why_unusable;  // a few words, for LockOutcome::unusable; null otherwise
};

// Takes the lock of this name that every process on the machine shares, waiting at most
// timeout_ms; the system releases it if its holder dies. On Windows it is the mutex
// Global\<name>; on POSIX, flock on /tmp/<name>.lock, which is held by this process alone (a
// child it forks must take it for itself) and only while that file is still the one at the path.
// Never blocks longer than the wait, whatever another user has put under that name. Calls must
// not overlap within a process. What a call keeps open for the next one is never freed, so a
// thread may still take the lock while its host's exit handlers run.
LockAttempt acquire_named_lock(const char* name, unsigned timeout_ms);

// Releases the lock that the last acquire_named_lock took.
void release_named_lock();

// Closes what acquire_named_lock keeps open between calls, for a library that is being unloaded.
// Must not overlap a call of the other two.
void close_named_lock();

// Has `before` run in a thread that forks the process, just before, and `after` just after, in the
// parent and in the child; for a library whose lock a thread may hold while another forks (the
// child would find it held for ever). Windows has no fork: nothing happens there.
void around_fork(void (*before)(), void (*after)());

// Holds back, until release_interrupts, the signals and events that a user or the system sends a
// console program: on POSIX every signal but the program's own faults (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, SIGUSR1, SIGALRM, ...); on Windows the console's control events.
// release_interrupts then lets one that arrived in between act as it would have. For a program's
// main thread, around work that must not be cut in two.
void hold_interrupts();
void release_interrupts();

// Shows a status line to a debugger or debug-output viewer attached to the process, as Windows
// libraries conventionally do (OutputDebugStringA). POSIX has no such channel; there it does nothing.
void write_to_debugger(const char* line);

// Replaces the file at `path` (UTF-8) with `bytes` so that, whatever happens meanwhile (a crash, a
// power cut, a full disk), the path holds the old content or the new one, whole: the new is written
// beside it (PATH.new, made anew: whatever stood there, an empty folder too, is removed, never
// opened), flushed to the disk and renamed over it. Returns false, with what the system said, when
// it could not; the file at the path is then as it was.
bool replace_file(const std::string& path, const std::string& bytes, std::string& why_not);

// Blocks the calling thread for at least the given number of milliseconds.
void sleep_ms(unsigned milliseconds);

}  // namespace platform
