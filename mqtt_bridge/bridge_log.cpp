#include "bridge_log.h"

#include <cstdio>
#include <utility>

namespace bridge {
namespace {

std::mutex& sink_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(const std::string&)>& sink() {
    static std::function<void(const std::string&)> chosen = [](const std::string& line) {
        static_cast<void>(std::fprintf(stderr, "kav_morv_led_mqtt: %s\n", line.c_str()));
    };
    return chosen;
}

}  // namespace

void say(const std::string& line) {
    const std::lock_guard<std::mutex> guard(sink_mutex());
    sink()(line);
}

void say_to(std::function<void(const std::string&)> chosen) {
    const std::lock_guard<std::mutex> guard(sink_mutex());
    sink() = std::move(chosen);
}

void NowAndThen::say(const std::string& line) {
    const auto now = std::chrono::steady_clock::now();
    long long held_back = 0;
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (now >= window_ + std::chrono::minutes(1)) {
            window_ = now;
            said_ = 0;
        }
        if (said_ >= kMostLines) {
            ++held_back_;
            return;
        }
        ++said_;
        held_back = held_back_;
        held_back_ = 0;
    }
    if (held_back > 0) {
        bridge::say(std::to_string(held_back) + " more such lines were not said, at most " +
                    std::to_string(kMostLines) + " a minute");
    }
    bridge::say(line);
}

}  // namespace bridge
