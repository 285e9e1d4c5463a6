#include "line_log.h"

#include <cstdio>
#include <utility>

namespace program_support {
namespace {

constexpr std::chrono::minutes kRationPeriod{1};

// Threads other than the event loop's log too.
std::mutex& sink_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::string& program_name() {
    static std::string name;
    return name;
}

std::function<void(const std::string&)>& sink() {
    static std::function<void(const std::string&)> chosen = [](const std::string& line) {
        if (program_name().empty()) {
            static_cast<void>(std::fprintf(stderr, "%s\n", line.c_str()));
        } else {
            static_cast<void>(std::fprintf(stderr, "%s: %s\n", program_name().c_str(), line.c_str()));
        }
    };
    return chosen;
}

}  // namespace

void log_as(std::string program) {
    const std::lock_guard<std::mutex> guard(sink_mutex());
    program_name() = std::move(program);
}

void log(const std::string& line) {
    const std::lock_guard<std::mutex> guard(sink_mutex());
    sink()(line);
}

void log_to(std::function<void(const std::string&)> chosen) {
    const std::lock_guard<std::mutex> guard(sink_mutex());
    sink() = std::move(chosen);
}

void RationedLog::log(const std::string& source, const std::string& line, Time now) {
    long long held_back = 0;
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (now >= swept_ + kRationPeriod) {
            swept_ = now;
            for (auto at = rations_.begin(); at != rations_.end();) {
                at = now >= at->second.since + kRationPeriod && at->second.held_back == 0 ? rations_.erase(at) : ++at;
            }
        }
        Ration& ration = rations_.try_emplace(source, Ration{now}).first->second;
        if (now >= ration.since + kRationPeriod) {
            ration.since = now;
            ration.written = 0;
        }
        if (ration.written >= kLinesPerMinute) {
            ++ration.held_back;
            return;
        }
        ++ration.written;
        held_back = std::exchange(ration.held_back, 0);
    }
    if (held_back > 0) {
        program_support::log(std::to_string(held_back) + " more lines about " + source + " were left out, at most " +
                             std::to_string(kLinesPerMinute) + " a minute");
    }
    program_support::log(line);
}

}  // namespace program_support
