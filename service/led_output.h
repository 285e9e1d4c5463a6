// The LED as the service drives it: the library's Init and DeInit, and SetLED and GetLED on a
// thread of their own, so that a machine-wide lock held by a hung program (SetLED waits up to 2 s
// for it) never holds up the service's clients or its pattern clock.
#pragma once

#include "kav_morv_led.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace service {

class LedOutput {
public:
    LedOutput() = default;
    LedOutput(const LedOutput&) = delete;
    LedOutput& operator=(const LedOutput&) = delete;
    ~LedOutput() { stop(); }

    // Calls Init and starts the thread. On failure returns false with the library's reason, having
    // called DeInit to release what Init loaded.
    bool start(std::string& why_not);
    // Sets the LED to `code` soon; when several are asked before the thread gets to them, the
    // latest wins, so a colour is always set whole and never one that has been replaced. `shown`,
    // if given, is called on the LED's thread once that colour, or one asked after it, is set.
    void show(LedColorCode code, std::function<void()> shown = nullptr);
    // Reads the LED back; `done` is called on the LED's thread with what GetLED returned.
    void read_back(std::function<void(LedColorCode)> done);
    // Sets what is still asked, ends the thread and calls DeInit. Does nothing if not started.
    void stop();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable work_;
    std::optional<LedColorCode> wanted_;
    std::vector<std::function<void()>> waiting_for_wanted_;
    std::deque<std::function<void(LedColorCode)>> readers_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace service
