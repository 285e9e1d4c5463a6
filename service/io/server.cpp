#include "server.h"

#include "log.h"
#include "protocol_limits.h"
#include "reply.h"
#include "state_format.h"

#include <asio/post.hpp>

#include <algorithm>
#include <memory>
#include <utility>

namespace service {

Server::Server(asio::io_context& io, Outputs outputs) : io_(io), outputs_(std::move(outputs)), clock_(io) {}

// What a callback from another thread holds (a session's reply, and with it the session) is
// moved to the event loop's thread and destroyed there.
template <typename Work>
void Server::back_here(Work work) {
    asio::post(io_, std::move(work));
}

bool Server::restore(const std::string& text, std::string& why_not) {
    const Time now = Clock::now();
    if (!restore_state(indications_, text, now, std::chrono::system_clock::now(), why_not)) {
        return false;
    }
    tell({{}, restored(indications_, now)});
    return true;
}

void Server::start(std::function<void()> shown) {
    const Time now = Clock::now();
    follow(now);
    outputs_.show(indications_.color_at(now), [this, shown = std::move(shown)](LedColorCode, LedColorCode) mutable {
        back_here(std::move(shown));
    });
}

void Server::answer(protocol::LineReader::Line line, const Client& client,
                    const std::shared_ptr<Connections::Member>& from) {
    std::deque<Asked>& mine = asked_[client.owner.id];
    if (mine.empty()) {
        turns_.push_back(client.owner.id);
    }
    mine.push_back({std::move(line), client, from});
    take_turns_soon();
}

// One line a turn, each turn a handler of its own, so that the clocks, the LED's replies and
// other connections are seen to between any two.
void Server::take_turns_soon() {
    if (turn_due_ || turns_.empty()) {
        return;
    }
    turn_due_ = true;
    asio::post(io_, [this] {
        turn_due_ = false;
        take_turn();
    });
}

void Server::take_turn() {
    const std::string user = std::move(turns_.front());
    turns_.pop_front();
    const auto mine = asked_.find(user);
    const Asked asked = std::move(mine->second.front());
    mine->second.pop_front();
    if (mine->second.empty()) {
        asked_.erase(mine);
    } else {
        turns_.push_back(user);
    }
    carry_out(asked);
    take_turns_soon();
}

void Server::carry_out(const Asked& asked) {
    const Time now = Clock::now();
    Answer answer = dispatch(indications_, asked.line, asked.client, now);
    tell(answer.changes);
    if (answer.changed) {
        changed();
        follow(now);
    }
    switch (answer.when) {
        case Answer::When::now:
            asked.from->reply(line_of(answer.reply));
            return;
        case Answer::When::watching: {
            std::string refusal;
            if (connections_.watch(asked.from.get(), refusal)) {
                asked.from->start_watching(line_of(answer.reply));
            } else {
                asked.from->reply(line_of(protocol::error_reply(answer.command, refusal)));
            }
            return;
        }
        case Answer::When::once_shown: {
            // Set again and read back even when the colour is the one shown, so that the reply
            // speaks of the LED as it is now, whoever else wrote it.
            shown_ = indications_.color_at(now);
            const auto change =
                std::make_shared<Change>(Change{asked.from, std::move(answer), generation_, {}, {}, {}});
            unsaved_.push_back(change);
            outputs_.show(*shown_, [this, change](LedColorCode set, LedColorCode read_back) {
                back_here([this, change, set, read_back] {
                    change->set = set;
                    change->read_back = read_back;
                    reply_when_done(change);
                });
            });
            return;
        }
        case Answer::When::after_read_back:
            ask_status(asked.from);
            return;
    }
}

void Server::reply_when_done(const std::shared_ptr<Change>& change) {
    if (change->set && change->unsaved) {
        change->from->reply(line_of(reply_once_shown(change->answer, *change->set, *change->read_back, *change->unsaved)));
    }
}

// Every status asked before one is made gets that one: it is made once the LED has been read back,
// but no sooner than kStatusSpacing after the last, and no later than kReadBackWait after the first
// was asked (with read_back null then). The LED's thread has at most one read-back of ours to do.
void Server::ask_status(const std::shared_ptr<Connections::Member>& from) {
    if (!status_asked_) {
        const auto asked = std::make_shared<StatusAsked>(io_);
        status_asked_ = asked;
        asked->due.expires_after(protocol::kReadBackWait);
        asked->due.async_wait([this, asked](const asio::error_code& error) {
            if (!error) {
                answer_status(asked);
            }
        });
        if (!reading_back_) {
            reading_back_ = true;
            outputs_.read_back(
                [this](LedColorCode read_back) { back_here([this, read_back] { read_back_came(read_back); }); });
        }
    }
    status_asked_->from.push_back(from);
}

void Server::read_back_came(LedColorCode read_back) {
    reading_back_ = false;
    const std::shared_ptr<StatusAsked> asked = status_asked_;
    if (!asked) {
        return;  // those who asked were answered without it
    }
    asked->read_back = read_back;
    if (Clock::now() >= last_status_ + protocol::kStatusSpacing) {
        answer_status(asked);
        return;
    }
    asked->due.expires_at(last_status_ + protocol::kStatusSpacing);
    asked->due.async_wait([this, asked](const asio::error_code& error) {
        if (!error) {
            answer_status(asked);
        }
    });
}

void Server::answer_status(const std::shared_ptr<StatusAsked>& asked) {
    if (status_asked_ != asked) {
        return;  // answered already
    }
    status_asked_.reset();
    asked->due.cancel();
    last_status_ = Clock::now();
    const Line reply = line_of(status_reply(indications_, last_status_, asked->read_back));
    for (const std::shared_ptr<Connections::Member>& from : asked->from) {
        from->reply(reply);
    }
}

std::optional<LedColorCode> Server::stop() {
    clock_.cancel();
    const Time now = Clock::now();
    tell(settle(indications_, now));
    // The last write, which nobody waits for here: the host waits for the state file's thread.
    outputs_.save(state_text(indications_, now, std::chrono::system_clock::now()), nullptr);
    std::string said;
    const std::optional<LedColorCode> left = color_to_leave(indications_, now, said);
    if (!said.empty()) {
        log(said);
    }
    return left;
}

void Server::tell(const Changes& changes) {
    for (const std::string& line : changes.log) {
        log(line);
    }
    for (const Event& event : changes.events) {
        connections_.broadcast(line_of(event_line(event, next_event_++)));
    }
}

void Server::follow(Time now) {
    const Changes ended = settle(indications_, now);
    if (!ended.events.empty()) {
        tell(ended);
        changed();
    }
    const LedColorCode color = indications_.color_at(now);
    if (shown_ != color) {
        outputs_.show(color, nullptr);
        shown_ = color;
    }
    const std::optional<Time> next = indications_.next_change(now);
    if (!next) {
        clock_.cancel();
        return;
    }
    clock_.expires_at(*next);
    clock_.async_wait([this](const asio::error_code& error) {
        if (!error) {
            follow(Clock::now());
        }
    });
}

// Group commit: a change is written at once when no write is under way; the changes made while one
// is are written together by the next, so each waits for at most two writes.
void Server::changed() {
    ++generation_;
    if (!saving_) {
        save();
    }
}

void Server::save() {
    saving_ = true;
    const std::uint64_t generation = generation_;
    outputs_.save(state_text(indications_, Clock::now(), std::chrono::system_clock::now()),
                  [this, generation](const std::string& why_not) {
                      back_here([this, generation, why_not] { saved(generation, why_not); });
                  });
}

void Server::saved(std::uint64_t generation, const std::string& why_not) {
    saving_ = false;
    while (!unsaved_.empty() && unsaved_.front()->generation <= generation) {
        const std::shared_ptr<Change> change = std::move(unsaved_.front());
        unsaved_.pop_front();
        change->unsaved = why_not;
        reply_when_done(change);
    }
    if (generation_ > generation) {
        save();
    }
}

}  // namespace service
