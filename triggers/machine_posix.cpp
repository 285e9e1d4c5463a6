#include "machine.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>
#include <vector>

namespace triggers::machine {
namespace {

// systemctl is-active's exit status for a unit that is not active (inactive, failed, or unknown to
// systemd); any other but 0 means systemd could not be asked.
constexpr int kNotActive = 3;

// The kernel keeps this much of a program's name (ps shows it so); a longer name is told by the
// file name the program was started as.
constexpr std::size_t kKeptNameBytes = 15;

std::string file_name_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The start of a /proc file: cheaper than a stream, as a scan reads one for every process.
std::string head_of(const std::string& path) {
    char text[1024];
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd < 0 ? -1 : read(fd, text, sizeof text);
    if (fd >= 0) {
        close(fd);
    }
    return got > 0 ? std::string(text, static_cast<std::size_t>(got)) : std::string();
}

// The processes running, each by its /proc folder and the name the kernel keeps, from one scan
// that the checks coming within a moment of each other share: the rules of one interval come due
// together, and one scan of /proc does for them all.
struct Scan {
    std::mutex mutex;
    std::chrono::steady_clock::time_point at{};
    std::vector<std::pair<std::string, std::string>> processes;
};
constexpr std::chrono::milliseconds kScanShared{200};

// Whether the process with this /proc folder and kept name is the program `name`.
bool is_named(const std::string& folder, const std::string& kept, const std::string& name) {
    if (name.size() <= kKeptNameBytes || kept != name.substr(0, kKeptNameBytes)) {
        return kept == name;
    }
    const std::string started_as = head_of(folder + "/cmdline");
    return file_name_of(started_as.substr(0, started_as.find('\0'))) == name;
}

// One that has ended but has not been waited for by its parent yet runs no more.
bool has_ended(const std::string& folder) {
    const std::string fields = head_of(folder + "/stat");
    const std::size_t name_end = fields.rfind(')');
    return name_end == std::string::npos || fields.compare(name_end, 3, ") Z") == 0 ||
           fields.compare(name_end, 3, ") X") == 0;
}

}  // namespace

std::optional<bool> service_running(const std::string& service, Deadline deadline, std::string& why_not) {
    const Ended ended = run_command({"systemctl", "is-active", "--quiet", "--", service}, deadline);
    if (ended.how == Ended::How::exited && (ended.status == 0 || ended.status == kNotActive)) {
        return ended.status == 0;
    }
    why_not = ended.how == Ended::How::not_started ? "systemctl could not be started: " + ended.why
              : ended.how == Ended::How::timed_out
                  ? "systemctl is-active did not answer in time"
                  : "systemctl is-active failed with status " + std::to_string(ended.status) +
                        ": systemd does not run here, or may not be asked";
    return std::nullopt;
}

std::optional<bool> process_running(const std::string& process, std::string& why_not) {
    static Scan scan;
    const std::lock_guard<std::mutex> guard(scan.mutex);
    const auto now = std::chrono::steady_clock::now();
    if (now - scan.at > kScanShared) {
        const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
        if (!proc) {
            why_not = std::string("/proc: ") + std::strerror(errno);
            return std::nullopt;
        }
        scan.processes.clear();
        while (const dirent* entry = readdir(proc.get())) {
            if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') {
                const std::string folder = std::string("/proc/") + entry->d_name;
                const std::string kept = head_of(folder + "/comm");
                scan.processes.emplace_back(folder, kept.substr(0, kept.find('\n')));
            }
        }
        scan.at = now;
    }
    for (const auto& [folder, kept] : scan.processes) {
        if (is_named(folder, kept, process) && !has_ended(folder)) {
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
