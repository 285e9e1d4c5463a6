// What the checks ask of the system: one implementation per system. Each says why when the
// system could not tell.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace triggers::machine {

using Deadline = std::chrono::steady_clock::time_point;

// Whether the service runs: a systemd unit (asked of systemctl), or a Windows service (asked of
// the Service Control Manager). A service the manager does not know is not running.
std::optional<bool> service_running(const std::string& service, Deadline deadline, std::string& why_not);

// Whether a process of that name runs: the program's file name, as ps or the system's task list shows it
// (on Windows with or without ".exe", in any case).
std::optional<bool> process_running(const std::string& process, std::string& why_not);

// The processor's time since boot, of all its cores: how much of it was busy, of how much.
struct ProcessorTimes {
    std::uint64_t busy;
    std::uint64_t total;
};
std::optional<ProcessorTimes> processor_times(std::string& why_not);

// How much of the physical memory is in use, in percent.
std::optional<double> memory_use(std::string& why_not);

// How a command ended.
struct Ended {
    enum class How { exited, timed_out, not_started } how;
    int status;       // exited: its exit status
    std::string why;  // not_started: what the system said
};
// Runs a program with its arguments, no shell between, under this program's own account, with no
// input and its output discarded; at the deadline it is killed, with whatever it started.
Ended run_command(const std::vector<std::string>& arguments, Deadline deadline);

// The status an HTTP or HTTPS URL answers a GET with (redirects are not followed), or none with
// why it gave none by the deadline.
std::optional<long> http_status(const std::string& url, Deadline deadline, std::string& why_not);

}  // namespace triggers::machine
