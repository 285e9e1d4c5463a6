#include "led_thread.h"

#include "line_log.h"
#include "words.h"

#include <utility>

namespace service {

bool LedThread::start(std::string& why_not) {
    if (Init() == 0) {
        why_not = GetLEDError();
        DeInit();  // a failed Init still loaded what it could
        return false;
    }
    started_ = true;
    worker_.start();
    return true;
}

void LedThread::set_color(LedColorCode code, ColorSet on_set) {
    worker_.hand([code, &on_set](Work& waiting) {
        waiting.color = code;
        if (on_set) {
            waiting.on_set.push_back(std::move(on_set));
        }
    });
}

void LedThread::read_back(ReadBack done) {
    worker_.hand([&done](Work& waiting) { waiting.read.push_back(std::move(done)); });
}

void LedThread::stop(std::optional<LedColorCode> last) {
    if (!started_) {
        return;
    }
    started_ = false;
    worker_.stop([last](Work& waiting) {
        if (last) {
            waiting.color = last;
        }
    });
    DeInit();
}

void LedThread::run(Work& work) {
    if (work.color) {
        SetLED(*work.color);
    }
    const LedColorCode read_back = GetLED();
    if (work.color) {
        check(*work.color, read_back);
    }
    for (const ColorSet& done : work.on_set) {
        done(*work.color, read_back);
    }
    for (const ReadBack& done : work.read) {
        done(read_back);
    }
}

// Said once when the LED starts to read back other than what was set, and once when it agrees again.
void LedThread::check(LedColorCode set, LedColorCode read_back) {
    if ((read_back != set) != mismatched_) {
        mismatched_ = read_back != set;
        program_support::log(
            mismatched_
                ? std::string("the LED reads back ") + protocol::color_name(read_back) + " after being set to " +
                      protocol::color_name(set) + ": it does not show what the service asks"
                : std::string("the LED shows what the service asks again (") + protocol::color_name(set) + ")");
    }
}

}  // namespace service
