#include "led_output.h"

#include "log.h"
#include "protocol.h"

#include <utility>

namespace service {

bool LedOutput::start(std::string& why_not) {
    if (Init() == 0) {
        why_not = GetLEDError();
        DeInit();  // a failed Init still loaded what it could
        return false;
    }
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void LedOutput::show(LedColorCode code, Shown shown) {
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        wanted_ = code;
        if (shown) {
            awaiting_shown_.push_back(std::move(shown));
        }
    }
    work_.notify_one();
}

void LedOutput::read_back(ReadBack done) {
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        awaiting_read_back_.push_back(std::move(done));
    }
    work_.notify_one();
}

void LedOutput::stop(std::optional<LedColorCode> last) {
    if (!thread_.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (last) {
            wanted_ = last;
        }
        stopping_ = true;
    }
    work_.notify_one();
    thread_.join();
    DeInit();
}

// Said once when the LED starts to read back other than what was set, and once when it agrees again.
void LedOutput::check(LedColorCode set, LedColorCode read_back) {
    if ((read_back != set) != mismatched_) {
        mismatched_ = read_back != set;
        log(mismatched_ ? std::string("the LED reads back ") + protocol::color_name(read_back) + " after being set to " +
                              protocol::color_name(set) + ": it does not show what the service asks"
                        : std::string("the LED shows what the service asks again (") + protocol::color_name(set) + ")");
    }
}

void LedOutput::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return wanted_ || !awaiting_read_back_.empty() || stopping_; });
        if (!wanted_ && awaiting_read_back_.empty()) {
            return;
        }
        const std::optional<LedColorCode> code = wanted_;
        wanted_.reset();
        std::vector<Shown> shown;
        shown.swap(awaiting_shown_);
        std::vector<ReadBack> read;
        read.swap(awaiting_read_back_);
        lock.unlock();
        if (code) {
            SetLED(*code);
        }
        const LedColorCode read_back = GetLED();
        if (code) {
            check(*code, read_back);
        }
        for (const Shown& done : shown) {
            done(*code, read_back);
        }
        for (const ReadBack& done : read) {
            done(read_back);
        }
        lock.lock();
    }
}

}  // namespace service
