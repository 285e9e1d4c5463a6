// The LED as the service drives it: the library's Init and DeInit, and SetLED and GetLED on a
// thread of their own, so that a machine-wide lock held by a hung program (SetLED waits up to 2 s
// for it) never holds up the service's clients or its pattern clock. Every colour set is read back
// at once, so a change that did not take is known.
#pragma once

#include "kav_morv_led.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace service {

class LedOutput {
public:
    // The colour set, and what the LED read back right after.
    using Shown = std::function<void(LedColorCode set, LedColorCode read_back)>;
    using ReadBack = std::function<void(LedColorCode read_back)>;

    LedOutput() = default;
    LedOutput(const LedOutput&) = delete;
    LedOutput& operator=(const LedOutput&) = delete;
    ~LedOutput() { stop(); }

    // Calls Init and starts the thread. On failure returns false with the library's reason, having
    // called DeInit to release what Init loaded.
    bool start(std::string& why_not);
    // Sets the LED to `code` soon; when several are asked before the thread gets to them, the
    // latest wins, so a colour is always set whole and never one that has been replaced. `shown`,
    // if given, is called on the LED's thread once that colour, or one asked after it, is set and
    // read back. A read-back that differs from the colour set is logged.
    void show(LedColorCode code, Shown shown = nullptr);
    // Has the LED read back; `done` is called on the LED's thread with what GetLED returned, after
    // the change the thread is busy with, if any.
    void read_back(ReadBack done);
    // Sets `last` if given (else what is still asked), ends the thread and calls DeInit. Does
    // nothing if not started.
    void stop(std::optional<LedColorCode> last = std::nullopt);

private:
    void run();
    void check(LedColorCode set, LedColorCode read_back);

    std::mutex mutex_;
    std::condition_variable work_;
    std::optional<LedColorCode> wanted_;
    std::vector<Shown> awaiting_shown_;
    std::vector<ReadBack> awaiting_read_back_;
    bool stopping_ = false;
    bool mismatched_ = false;  // the last read-back differed from the colour set (on the LED's thread)
    std::thread thread_;
};

}  // namespace service
