#include "log.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace triggers {
namespace {

std::mutex& sink_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(const std::string&)>& sink() {
    static std::function<void(const std::string&)> chosen = [](const std::string& line) {
        static_cast<void>(std::fprintf(stderr, "kav_morv_led_triggers: %s\n", line.c_str()));
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

}  // namespace triggers
