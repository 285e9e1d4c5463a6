// A rule's own thread, on which its checks wait for the system: a check that hangs (a name that
// cannot be looked up, a volume that does not answer) holds up no other rule, and never the event
// loop, which gives up on it at its timeout.
#pragma once

#include "checks.h"

#include <functional>
#include <memory>

namespace triggers {

class Worker {
public:
    using Deliver = std::function<void(Outcome)>;

    explicit Worker(std::shared_ptr<Check> check);
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    // Lets the thread go: a check still under way ends by itself, and its outcome is dropped.
    ~Worker();

    // Starts a check that ends by `deadline` where the system lets it; `deliver` is given its
    // outcome on the worker's thread. False, doing nothing, while the last one has not ended.
    bool start(Deadline deadline, Deliver deliver);

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace triggers
