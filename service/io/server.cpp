#include "server.h"

#include "log.h"
#include "reply.h"
#include "state_format.h"

#include <asio/post.hpp>

#include <memory>
#include <utility>

namespace service {

Server::Server(asio::io_context& io, Outputs outputs) : io_(io), outputs_(std::move(outputs)), clock_(io), saver_(io) {}

// What a callback from the LED's thread holds (a session's reply, and with it the session) is
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

void Server::answer(const protocol::LineReader::Line& line, const Client& client,
                    const std::shared_ptr<Connections::Member>& from) {
    const Time now = Clock::now();
    Answer answer = dispatch(indications_, line, client, now);
    tell(answer.changes);
    if (answer.changed) {
        changed();
        follow(now);
    }
    switch (answer.when) {
        case Answer::When::now:
            from->reply(answer.reply);
            return;
        case Answer::When::watching: {
            std::string refusal;
            if (connections_.watch(from.get(), refusal)) {
                from->start_watching(answer.reply);
            } else {
                from->reply(protocol::error_reply(answer.command, refusal));
            }
            return;
        }
        case Answer::When::once_shown:
            // Set again and read back even when the colour is the one shown, so that the reply
            // speaks of the LED as it is now, whoever else wrote it.
            shown_ = indications_.color_at(now);
            outputs_.show(*shown_, [this, from = from, answer = std::move(answer)](LedColorCode set,
                                                                                   LedColorCode read_back) mutable {
                back_here([from = std::move(from), answer = std::move(answer), set, read_back] {
                    from->reply(reply_once_shown(answer, set, read_back));
                });
            });
            return;
        case Answer::When::after_read_back:
            break;
    }
    // Whichever comes first answers: the LED read back, or the end of the wait for it.
    struct Pending {
        std::shared_ptr<Connections::Member> from;
        std::function<std::string(std::optional<LedColorCode>)> finish;
        asio::steady_timer wait;
    };
    const auto pending = std::make_shared<Pending>(Pending{from, std::move(answer.finish), asio::steady_timer(io_)});
    const auto finish = [pending](std::optional<LedColorCode> read_back) {
        if (pending->from) {
            pending->wait.cancel();
            const std::shared_ptr<Connections::Member> from = std::move(pending->from);
            pending->from = nullptr;
            from->reply(pending->finish(read_back));
        }
    };
    pending->wait.expires_after(protocol::kReadBackWait);
    pending->wait.async_wait([finish](const asio::error_code& error) {
        if (!error) {
            finish(std::nullopt);
        }
    });
    outputs_.read_back(
        [this, finish](LedColorCode read_back) { back_here([finish, read_back] { finish(read_back); }); });
}

std::optional<LedColorCode> Server::stop() {
    clock_.cancel();
    saver_.cancel();
    const Time now = Clock::now();
    tell(settle(indications_, now));
    save();
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
        connections_.broadcast(event_line(event, next_event_++));
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

void Server::changed() {
    if (save_due_) {
        return;
    }
    save_due_ = true;
    saver_.expires_at(std::max(Clock::now(), last_saved_ + kSaveSpacing));
    saver_.async_wait([this](const asio::error_code& error) {
        if (!error) {
            save();
        }
    });
}

void Server::save() {
    save_due_ = false;
    last_saved_ = Clock::now();
    outputs_.save(state_text(indications_, last_saved_, std::chrono::system_clock::now()));
}

}  // namespace service
