// Results in a row: a rule's verdict changes only after `after` results that differ from it, so
// that one slow answer does not flap the LED. The first verdict takes `after` equal results too.
#pragma once

#include <optional>

namespace triggers {

class Streak {
public:
    explicit Streak(unsigned after) : after_(after) {}

    // Takes one result; gives the verdict when this result changes it.
    std::optional<bool> take(bool holds) {
        const Verdict result = holds ? Verdict::holds : Verdict::clear;
        if (verdict_ == result) {
            run_ = 0;
            return std::nullopt;
        }
        run_ = run_ > 0 && last_ == result ? run_ + 1 : 1;
        last_ = result;
        if (run_ < after_) {
            return std::nullopt;
        }
        verdict_ = result;
        run_ = 0;
        return holds;
    }

    // Whether the condition holds, as far as the results in a row have told.
    bool holds() const { return verdict_ == Verdict::holds; }

private:
    enum class Verdict { none, holds, clear };
    unsigned after_;
    Verdict verdict_ = Verdict::none;
    Verdict last_ = Verdict::none;
    unsigned run_ = 0;
};

}  // namespace triggers
