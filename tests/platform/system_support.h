// What the platform tests need from the system they run on, beyond the platform layer under test:
// one implementation per system.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace system_support {

// Opens a library by its full path, as a host program would; null on failure.
void* open_library_at(const std::filesystem::path& path);

// The environment variable that names more folders to look in for libraries.
extern const char* const kLibrarySearchVariable;

// Runs a program with one argument, in `working_folder`, with `variable` set to `value`, and waits
// for it; returns its exit status, or -1 when it did not run to an exit.
int run_program(const std::filesystem::path& program, const std::string& argument,
                const std::filesystem::path& working_folder, const char* variable, const std::string& value);

// This process's id, so that names of this run's locks and folders are not another run's.
std::string this_process();

// Takes the machine-wide lock of this name as another process would; the returned function lets go.
std::function<void()> hold_lock_elsewhere(const std::string& name);

}  // namespace system_support
