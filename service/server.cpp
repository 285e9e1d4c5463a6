#include "server.h"

#include "log.h"
#include "protocol.h"
#include "state.h"

#include <asio/post.hpp>

#include <memory>
#include <utility>

namespace service {

Server::Server(asio::io_context& io, LedOutput& led, StateFile& state)
    : io_(io), led_(led), state_(state), clock_(io), saver_(io) {}

bool Server::restore(const std::string& text, std::string& why_not) {
    return restore_state(board_, text, Clock::now(), std::chrono::system_clock::now(), why_not);
}

// The LED's thread calls back; what the callback holds (a session's reply, and with it the session)
// is moved to the event loop's thread and destroyed there.
void Server::start(std::function<void()> shown) {
    const Time now = Clock::now();
    refresh(now);
    led_.show(board_.color_at(now),
              [this, shown = std::move(shown)](LedColorCode, LedColorCode) mutable { asio::post(io_, std::move(shown)); });
}

void Server::answer(const LineReader::Line& line, const Client& client, Reply reply) {
    const Time now = Clock::now();
    if (line.too_long) {
        reply(protocol::error_reply("-", "line longer than " + std::to_string(protocol::kMaxLineBytes) + " bytes"));
        return;
    }
    const protocol::Parsed parsed = protocol::parse_request(line.text);
    if (!parsed.request) {
        reply(protocol::error_reply(parsed.command, parsed.error));
        return;
    }
    settle(now);
    Answer answer = carry_out(board_, *parsed.request, client, now);
    if (answer.changed) {
        const Indication* showing = board_.showing(now);
        log(client.description + ": " + line.text + " -> the LED shows " + protocol::color_name(board_.color_at(now)) +
            (showing != nullptr ? " (" + showing->name + " of " + showing->owner.name + ")" : ""));
        changed();
        refresh(now);
    }
    switch (answer.when) {
        case Answer::When::now:
            reply(answer.reply);
            return;
        case Answer::When::once_shown: {
            const std::string command = parsed.command;
            // Set again and read back even when the colour is the one shown, so that the reply
            // speaks of the LED as it is now, whoever else wrote it.
            shown_ = board_.color_at(now);
            led_.show(*shown_, [this, reply = std::move(reply), done = std::move(answer.reply), command](
                                   LedColorCode set, LedColorCode read_back) mutable {
                asio::post(io_, [reply = std::move(reply), done = std::move(done), command, set, read_back] {
                    reply(read_back == set ? done
                                           : protocol::error_reply(
                                                 command, std::string("the LED did not take it: it reads back ") +
                                                              protocol::color_name(read_back) + ", not " +
                                                              protocol::color_name(set) +
                                                              "; what was asked stays in force"));
                });
            });
            return;
        }
        case Answer::When::after_read_back:
            break;
    }
    // Whichever comes first answers: the LED read back, or the end of the wait for it.
    struct Pending {
        Reply reply;
        std::function<std::string(std::optional<LedColorCode>)> finish;
        asio::steady_timer wait;
    };
    const auto pending = std::make_shared<Pending>(Pending{std::move(reply), std::move(answer.finish), asio::steady_timer(io_)});
    const auto finish = [pending](std::optional<LedColorCode> read_back) {
        if (pending->reply) {
            pending->wait.cancel();
            const Reply reply = std::move(pending->reply);
            pending->reply = nullptr;
            reply(pending->finish(read_back));
        }
    };
    pending->wait.expires_after(kReadBackWait);
    pending->wait.async_wait([finish](const asio::error_code& error) {
        if (!error) {
            finish(std::nullopt);
        }
    });
    led_.read_back([this, finish](LedColorCode read_back) { asio::post(io_, [finish, read_back] { finish(read_back); }); });
}

std::optional<LedColorCode> Server::stop() {
    clock_.cancel();
    saver_.cancel();
    const Time now = Clock::now();
    settle(now);
    save();
    const Indication* showing = board_.showing(now);
    if (showing == nullptr || showing->steady()) {
        return std::nullopt;
    }
    log("stopping: the LED is left off rather than stand still in a step of " + showing->name + " of " +
        showing->owner.name + ", which shows again when the service starts");
    return LedColorCode{LED_COLOR_OFF};
}

void Server::settle(Time now) {
    const std::vector<Ended> ended = board_.drop_ended(now);
    for (const Ended& gone : ended) {
        log(gone.indication.name + " of " + gone.indication.owner.name +
            (gone.expired ? " expired" : " ended: its count ran out"));
    }
    if (!ended.empty()) {
        changed();
    }
}

void Server::refresh(Time now) {
    settle(now);
    const LedColorCode color = board_.color_at(now);
    if (shown_ != color) {
        led_.show(color);
        shown_ = color;
    }
    const std::optional<Time> next = board_.next_change(now);
    if (!next) {
        clock_.cancel();
        return;
    }
    clock_.expires_at(*next);
    clock_.async_wait([this](const asio::error_code& error) {
        if (!error) {
            refresh(Clock::now());
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
    state_.save(state_text(board_, last_saved_, std::chrono::system_clock::now()));
}

}  // namespace service
