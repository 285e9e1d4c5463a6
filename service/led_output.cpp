#include "led_output.h"

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

void LedOutput::show(LedColorCode code, std::function<void()> shown) {
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        wanted_ = code;
        if (shown) {
            waiting_for_wanted_.push_back(std::move(shown));
        }
    }
    work_.notify_one();
}

void LedOutput::read_back(std::function<void(LedColorCode)> done) {
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        readers_.push_back(std::move(done));
    }
    work_.notify_one();
}

void LedOutput::stop() {
    if (!thread_.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    thread_.join();
    DeInit();
}

void LedOutput::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return wanted_ || !readers_.empty() || stopping_; });
        if (wanted_) {
            const LedColorCode code = *wanted_;
            wanted_.reset();
            std::vector<std::function<void()>> waiting;
            waiting.swap(waiting_for_wanted_);
            lock.unlock();
            SetLED(code);
            for (const std::function<void()>& shown : waiting) {
                shown();
            }
            lock.lock();
        } else if (!readers_.empty()) {
            std::function<void(LedColorCode)> done = std::move(readers_.front());
            readers_.pop_front();
            lock.unlock();
            done(GetLED());
            lock.lock();
        } else {
            return;
        }
    }
}

}  // namespace service
