#include "status_thread.h"

#include "reply.h"

#include <utility>

namespace service {

void StatusThread::change(std::vector<BoardChange> changes) {
    worker_.hand([&changes](Work& waiting) {
        for (BoardChange& change : changes) {
            waiting.steps.emplace_back(std::move(change));
        }
    });
}

void StatusThread::make(Time now, std::optional<LedColorCode> read_back, Server::StatusMade made) {
    worker_.hand([&](Work& waiting) { waiting.steps.emplace_back(Order{now, read_back, std::move(made)}); });
}

void StatusThread::run(Work& work) {
    for (auto& step : work.steps) {
        if (auto* change = std::get_if<BoardChange>(&step)) {
            board_.apply(*change);
        } else {
            const Order& order = std::get<Order>(step);
            order.made(line_of(protocol::ok_reply(board_.payload(order.now, order.read_back))));
        }
    }
}

}  // namespace service
