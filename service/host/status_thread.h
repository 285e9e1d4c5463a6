// The status board on a thread of its own: it follows each change the event loop hands it, in
// order, and makes status replies from it, so that a reply of every indication in force never
// holds up the event loop however many there are.
#pragma once

#include "latest_work.h"
#include "server.h"
#include "status_board.h"

#include <optional>
#include <variant>
#include <vector>

namespace service {

class StatusThread {
public:
    StatusThread() { worker_.start(); }
    ~StatusThread() { worker_.stop(); }

    void change(std::vector<BoardChange> changes);
    // Makes the reply at `now`, after every change handed before, and calls `made` with it on this thread.
    void make(Time now, std::optional<LedColorCode> read_back, Server::StatusMade made);

private:
    struct Order {
        Time now;
        std::optional<LedColorCode> read_back;
        Server::StatusMade made;
    };
    struct Work {
        std::vector<std::variant<BoardChange, Order>> steps;  // in the order handed
        bool empty() const { return steps.empty(); }
    };
    void run(Work& work);

    StatusBoard board_;
    program_support::LatestWork<Work> worker_{[this](Work& work) { run(work); }};
};

}  // namespace service
