// The LED as the service drives it: the library's Init and DeInit, and SetLED and GetLED on a
// thread of their own, so that a machine-wide lock held by a hung program (SetLED waits up to 2 s
// for it) never holds up the service's clients or its pattern clock. Colours asked while the
// thread is busy give way to the latest, so a colour is always set whole and never one that has
// been replaced; every colour set is read back at once, so a change that did not take is known.
#pragma once

#include "kav_morv_led.h"
#include "latest_work.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace service {

class LedThread {
public:
    // The colour set, and what the LED read back right after.
    using ColorSet = std::function<void(LedColorCode set, LedColorCode read_back)>;
    using ReadBack = std::function<void(LedColorCode read_back)>;

    LedThread() = default;
    ~LedThread() { stop(); }

    // Calls Init and starts the thread. On failure returns false with the library's reason, having
    // called DeInit to release what Init loaded.
    bool start(std::string& why_not);
    // Sets the LED to `code` soon. `on_set`, if given, is called on the LED's thread once that
    // colour, or one asked after it, is set and read back. A read-back that differs from the colour
    // set is logged.
    void set_color(LedColorCode code, ColorSet on_set = nullptr);
    // Has the LED read back; `done` is called on the LED's thread with what GetLED returned, with
    // the colour being set, if any.
    void read_back(ReadBack done);
    // Sets `last` if given (else what is still asked), ends the thread and calls DeInit. Does
    // nothing if not started.
    void stop(std::optional<LedColorCode> last = std::nullopt);

private:
    struct Work {
        std::optional<LedColorCode> color;  // the latest asked
        std::vector<ColorSet> on_set;       // waiting for it to be set
        std::vector<ReadBack> read;         // waiting for a read-back
        bool empty() const { return !color && read.empty(); }
    };
    void run(Work& work);
    void check(LedColorCode set, LedColorCode read_back);

    bool mismatched_ = false;  // the last read-back differed from the colour set (on the LED's thread)
    bool started_ = false;
    program_support::LatestWork<Work> worker_{[this](Work& work) { run(work); }};
};

}  // namespace service
