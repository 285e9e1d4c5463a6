#include "server.h"

#include "line_log.h"
#include "protocol_limits.h"
#include "reply.h"
#include "request.h"

#include <asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

namespace service {
namespace {

constexpr std::size_t kBoardChangesHeld = 256;

}  // namespace

Server::Server(asio::io_context& io, Outputs outputs)
    : io_(io), outputs_(std::move(outputs)), clock_(io), read_back_due_(io) {}

// What a callback from another thread holds (a session's reply, and with it the session) is
// moved to the event loop's thread and destroyed there.
template <typename Work>
void Server::back_here(Work work) {
    asio::post(io_, std::move(work));
}

bool Server::restore(const std::optional<std::string>& state, const std::string& journal, bool& torn_record,
                     std::string& why_not) {
    const Time now = ServiceClock::now();
    Restored found;
    if (!restore_state(indications_, state, journal, now, std::chrono::system_clock::now(), found, why_not)) {
        return false;
    }
    generation_ = found.generation;
    torn_record = found.torn_record;
    publish({{}, restored(indications_, now)});
    return true;
}

std::vector<JournalRecord> Server::records_in_force() const {
    const Time now = ServiceClock::now();
    const WallTime wall_now = std::chrono::system_clock::now();
    std::vector<const Indication*> in_order;
    for (const auto& [key, indication] : indications_.all()) {
        in_order.push_back(&indication);
    }
    std::sort(in_order.begin(), in_order.end(),
              [](const Indication* a, const Indication* b) { return a->order < b->order; });
    std::vector<JournalRecord> records;
    records.reserve(in_order.size());
    for (const Indication* indication : in_order) {
        records.push_back(set_record(generation_, *indication, now, wall_now));
    }
    return records;
}

void Server::start(const std::function<void()>& once_shown) {
    advance_to(ServiceClock::now(), [once_shown](LedColorCode, LedColorCode) { once_shown(); });
}

void Server::answer(protocol::LineReader::Line line, const Client& client,
                    const std::shared_ptr<Connections::Member>& from) {
    if (!refusal_.empty()) {
        from->reply(
            line_of(protocol::error_reply(line.too_long ? "-" : protocol::parse_request(line.text).command, refusal_)));
        return;
    }
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

void Server::replying(const std::string& user, std::size_t bytes) {
    const Time now = ServiceClock::now();
    const double left = allowance(user, now) - static_cast<double>(bytes);
    // Those of users who have their whole allowance again are let go now and then.
    if (allowances_.size() > protocol::kMaxConnections) {
        for (auto at = allowances_.begin(); at != allowances_.end();) {
            at = allowance(at->first, now) >= kReplyBurstBytes ? allowances_.erase(at) : std::next(at);
        }
    }
    allowances_[user] = {left, now};
}

double Server::allowance(const std::string& user, Time now) const {
    const auto mine = allowances_.find(user);
    if (mine == allowances_.end()) {
        return kReplyBurstBytes;
    }
    const double seconds = std::chrono::duration<double>(now - mine->second.at).count();
    return std::min(kReplyBurstBytes, mine->second.bytes + seconds * kReplyBytesPerSecond);
}

void Server::take_turn() {
    const std::string user = std::move(turns_.front());
    turns_.pop_front();
    const double left = allowance(user, ServiceClock::now());
    if (left < 0) {
        Timer& due = held_back_.try_emplace(user, io_).first->second;
        due.expires_after(
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(-left / kReplyBytesPerSecond)));
        due.async_wait([this, user](const asio::error_code& error) {
            if (!error) {
                held_back_.erase(user);
                turns_.push_back(user);
                take_turns_soon();
            }
        });
        take_turns_soon();
        return;
    }
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
    const Time now = ServiceClock::now();
    Answer answer = dispatch(indications_, asked.line, asked.client, now);
    publish(answer.changes);
    if (answer.when == Answer::When::once_shown) {
        const std::uint64_t generation = ++generation_;
        const WallTime wall_now = std::chrono::system_clock::now();
        std::vector<JournalRecord> records;
        for (const Event& event : answer.changes.events) {
            const Indications::Key key{event.name, event.owner.id};
            if (event.kind == Event::Kind::set) {
                records.push_back(set_record(generation, indications_.all().at(key), now, wall_now));
            } else if (event.kind == Event::Kind::cleared) {
                records.push_back(cleared_record(generation, key));
            }
        }
        const auto change = std::make_shared<Change>(Change{asked.from, std::move(answer), generation, {}, {}, {}});
        changes_waiting_.push_back(change);
        keep(std::move(records));
        // Set and read back even when the colour is the one shown, so that the reply speaks of
        // the LED as it is now, whoever else wrote it.
        advance_to(now, [this, change](LedColorCode set, LedColorCode read_back) {
            change->set = set;
            change->read_back = read_back;
            reply_when_done(change);
        });
        return;
    }
    if (answer.in_force_changed) {
        advance_to(now);  // what ended meanwhile
    }
    switch (answer.when) {
        case Answer::When::now:
        case Answer::When::once_shown:
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
        case Answer::When::after_read_back:
            ask_status(asked.from);
            return;
    }
}

void Server::reply_when_done(const std::shared_ptr<Change>& change) {
    if (change->set && change->unkept) {
        change->from->reply(
            line_of(reply_once_shown(change->answer, *change->set, *change->read_back, *change->unkept)));
    }
}

// A status reply is shared by every status asked while what it reports holds: nothing in force
// or shown has changed since it was made, and the LED was read back for it no more than
// kStatusSpacing before it was asked, so that another program's write shows within that.
void Server::ask_status(const std::shared_ptr<Connections::Member>& from) {
    const Time now = ServiceClock::now();
    if (status_text_ && status_text_->board_generation == board_generation_ &&
        now <= status_text_->read_at + protocol::kStatusSpacing) {
        from->reply(status_text_->line);
        return;
    }
    status_asked_.push_back({from, now, board_generation_});
    make_status_when_ready();
}

// One reply is made at a time, off this thread, once the LED has been read back for the first
// who waits, or kReadBackWait after it asked (with read_back null then). The LED's thread has at
// most one read-back of ours to do.
void Server::make_status_when_ready() {
    if (making_status_ || status_asked_.empty()) {
        return;
    }
    const StatusAsked& first = status_asked_.front();
    if (read_back_at_ && first.at <= *read_back_at_ + protocol::kStatusSpacing) {
        make_status(read_back_, *read_back_at_);
        return;
    }
    if (read_back_late_) {
        make_status(std::nullopt, ServiceClock::now());
        return;
    }
    if (!reading_back_since_) {
        reading_back_since_ = ServiceClock::now();
        outputs_.read_back(
            [this](LedColorCode read_back) { back_here([this, read_back] { read_back_came(read_back); }); });
    }
    read_back_due_.expires_at(first.at + protocol::kReadBackWait);
    read_back_due_.async_wait([this](const asio::error_code& error) {
        if (!error) {
            read_back_late_ = true;
            make_status_when_ready();
        }
    });
}

void Server::read_back_came(LedColorCode read_back) {
    read_back_ = read_back;
    read_back_at_ = *reading_back_since_;
    reading_back_since_.reset();
    read_back_late_ = false;
    read_back_due_.cancel();
    make_status_when_ready();
}

void Server::make_status(std::optional<LedColorCode> read_back, Time read_at) {
    making_status_ = true;
    hand_board_changes();
    const std::uint64_t board_generation = board_generation_;
    outputs_.make_status(ServiceClock::now(), read_back, [this, board_generation, read_at](Line line) {
        back_here([this, line = std::move(line), board_generation, read_at] {
            status_made(line, board_generation, read_at);
        });
    });
}

void Server::status_made(const Line& line, std::uint64_t board_generation, Time read_at) {
    making_status_ = false;
    status_text_ = StatusText{line, board_generation, read_at};
    while (!status_asked_.empty() && status_asked_.front().board_generation <= board_generation &&
           status_asked_.front().at <= read_at + protocol::kStatusSpacing) {
        status_asked_.front().from->reply(line);
        status_asked_.pop_front();
    }
    make_status_when_ready();
}

std::optional<LedColorCode> Server::stop() {
    clock_.cancel();
    read_back_due_.cancel();
    held_back_.clear();
    const Time now = ServiceClock::now();
    publish(remove_ended(indications_, now));
    std::string log_line;
    const std::optional<LedColorCode> left = color_to_leave(indications_, now, log_line);
    if (!log_line.empty()) {
        program_support::log(log_line);
    }
    return left;
}

void Server::publish(const Changes& changes) {
    for (const LogLine& line : changes.log) {
        log_.log(line.user, line.text);
    }
    for (const Event& event : changes.events) {
        const std::uint64_t seq = next_event_++;
        if (connections_.watched()) {
            connections_.broadcast(line_of(event_line(event, seq)));
        }
        BoardChange change{{event.name, event.owner.id}, std::nullopt};
        if (event.kind == Event::Kind::set || event.kind == Event::Kind::restored) {
            change.now_in_force = indications_.all().at(change.key);
        }
        board_changes_.push_back(std::move(change));
        ++board_generation_;
    }
    if (board_changes_.size() >= kBoardChangesHeld) {
        hand_board_changes();
    }
}

void Server::hand_board_changes() {
    if (!board_changes_.empty()) {
        outputs_.change_status_board(std::exchange(board_changes_, {}));
    }
}

void Server::advance_to(Time now, ColorSet on_set) {
    const Changes ended = remove_ended(indications_, now);
    if (!ended.events.empty()) {
        publish(ended);
    }
    const LedColorCode color = indications_.color_at(now);
    if (on_set || led_color_ != color) {
        set_led(color, std::move(on_set));
    }
    if (led_color_ != color) {
        led_color_ = color;
        ++board_generation_;
    }
    const std::optional<Time> next = indications_.next_change(now);
    if (!next) {
        clock_.cancel();
        return;
    }
    clock_.expires_at(*next);
    clock_.async_wait([this](const asio::error_code& error) {
        if (!error) {
            advance_to(ServiceClock::now());
        }
    });
}

void Server::set_led(LedColorCode color, ColorSet on_set) {
    led_waiting_ = color;
    if (on_set) {
        led_waiting_on_set_.push_back(std::move(on_set));
    }
    if (!setting_led_) {
        hand_led();
    }
}

void Server::hand_led() {
    setting_led_ = true;
    const LedColorCode color = *std::exchange(led_waiting_, std::nullopt);
    outputs_.set_color(
        color, [this, waiting = std::exchange(led_waiting_on_set_, {})](LedColorCode set, LedColorCode read_back) {
            back_here([this, waiting, set, read_back] {
                setting_led_ = false;
                for (const ColorSet& on_set : waiting) {
                    on_set(set, read_back);
                }
                if (led_waiting_) {
                    hand_led();
                }
            });
        });
}

void Server::keep(std::vector<JournalRecord> records) {
    unkept_.insert(unkept_.end(), std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
    keep_waiting();
}

// Group commit: the records handed while a write is under way are written together by the next,
// so that each change waits for at most two writes, and a write tells only the changes it holds.
void Server::keep_waiting() {
    if (keeping_ || unkept_.empty()) {
        return;
    }
    keeping_ = true;
    const std::uint64_t generation = generation_;
    std::vector<JournalRecord> records;
    records.swap(unkept_);
    outputs_.keep(std::move(records), [this, generation](const std::string& why_not) {
        back_here([this, generation, why_not] { kept(generation, why_not); });
    });
}

void Server::kept(std::uint64_t generation, const std::string& why_not) {
    keeping_ = false;
    while (!changes_waiting_.empty() && changes_waiting_.front()->generation <= generation) {
        const std::shared_ptr<Change> change = std::move(changes_waiting_.front());
        changes_waiting_.pop_front();
        change->unkept = why_not;
        reply_when_done(change);
    }
    keep_waiting();
}

}  // namespace service
