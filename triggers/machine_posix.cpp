#include "machine.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace triggers::machine {
namespace {

// systemctl is-active's exit status for a unit that is not active (inactive, failed, or unknown to
// systemd); any other but 0 means systemd could not be asked.
constexpr int kNotActive = 3;

std::string file_name_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether the process with this /proc folder is the program `name`: its own name (the kernel keeps
// 15 bytes of it), or the file name it was started as.
bool is_named(const std::string& folder, const std::string& name) {
    std::ifstream comm(folder + "/comm");
    std::string own;
    if (std::getline(comm, own) && own == name) {
        return true;
    }
    std::ifstream cmdline(folder + "/cmdline");
    std::string started_as;
    return std::getline(cmdline, started_as, '\0') && file_name_of(started_as) == name;
}

// One that has ended but has not been waited for by its parent yet runs no more.
bool has_ended(const std::string& folder) {
    std::ifstream stat(folder + "/stat");
    std::string fields;
    std::getline(stat, fields);
    const std::size_t name_end = fields.rfind(')');
    return name_end == std::string::npos || fields.compare(name_end, 3, ") Z") == 0 || fields.compare(name_end, 3, ") X") == 0;
}

}  // namespace

std::optional<bool> service_running(const std::string& service, Deadline deadline, std::string& why_not) {
    const Ended ended = run_command({"systemctl", "is-active", "--quiet", "--", service}, deadline);
    if (ended.how == Ended::How::exited && (ended.status == 0 || ended.status == kNotActive)) {
        return ended.status == 0;
    }
    why_not = ended.how == Ended::How::not_started ? "systemctl could not be started: " + ended.why
              : ended.how == Ended::How::timed_out ? "systemctl is-active did not answer in time"
                                                   : "systemctl is-active failed with status " + std::to_string(ended.status) +
                                                         ": systemd does not run here, or may not be asked";
    return std::nullopt;
}

std::optional<bool> process_running(const std::string& process, std::string& why_not) {
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc) {
        why_not = std::string("/proc: ") + std::strerror(errno);
        return std::nullopt;
    }
    while (const dirent* entry = readdir(proc.get())) {
        const std::string folder = std::string("/proc/") + entry->d_name;
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9' && is_named(folder, process) && !has_ended(folder)) {
            return true;
        }
    }
    return false;
}

std::optional<ProcessorTimes> processor_times(std::string& why_not) {
    std::ifstream stat("/proc/stat");
    std::string label;
    std::uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    if (!(stat >> label >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal) || label != "cpu") {
        why_not = "/proc/stat cannot be read";
        return std::nullopt;
    }
    const std::uint64_t busy = user + nice + system + irq + softirq + steal;
    return ProcessorTimes{busy, busy + idle + iowait};
}

std::optional<double> memory_use(std::string& why_not) {
    std::ifstream meminfo("/proc/meminfo");
    std::uint64_t total = 0;
    std::uint64_t available = 0;
    for (std::string line; std::getline(meminfo, line);) {
        std::istringstream fields(line);
        std::string key;
        std::uint64_t kib = 0;
        fields >> key >> kib;
        if (key == "MemTotal:") {
            total = kib;
        } else if (key == "MemAvailable:") {
            available = kib;
        }
    }
    if (total == 0 || available > total) {
        why_not = "/proc/meminfo cannot be read";
        return std::nullopt;
    }
    return 100.0 * static_cast<double>(total - available) / static_cast<double>(total);
}

}  // namespace triggers::machine
