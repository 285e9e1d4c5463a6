// One check of a rule's condition, against the machine itself. A check that fails, or cannot tell,
// counts as the condition holding: the LED then tells of what cannot be checked, and the log why.
#pragma once

#include "rules.h"

#include <chrono>
#include <memory>
#include <string>

namespace triggers {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// What one check found: whether the condition holds, and what it saw, in words for the log.
struct Outcome {
    bool holds;
    std::string seen;
};

// A rule's condition, checked on the rule's own thread, one check at a time; it may keep what it
// saw before (the processor's times, how long a use has been above its threshold).
class Check {
public:
    Check() = default;
    Check(const Check&) = delete;
    Check& operator=(const Check&) = delete;
    virtual ~Check() = default;
    // Checks once, ending by `deadline` where the system lets it.
    virtual Outcome run(Deadline deadline) = 0;
    // Whether it waits on anything: one that does not runs on the event loop itself.
    virtual bool waits() const { return true; }
};

std::unique_ptr<Check> make_check(const Condition& condition);

}  // namespace triggers
