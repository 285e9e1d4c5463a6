#include "server.h"

#include "log.h"
#include "protocol.h"
#include "requests.h"
#include "state.h"

#include <asio/post.hpp>

#include <utility>

namespace service {

Server::Server(asio::io_context& io, LedOutput& led, StateFile& state)
    : io_(io), led_(led), state_(state), clock_(io) {}

bool Server::restore(const std::string& text, std::string& why_not) {
    return restore_state(board_, text, Clock::now(), std::chrono::system_clock::now(), why_not);
}

// The LED's thread calls back; what the callback holds (a session's reply, and with it the session)
// is moved on to this thread, so that nothing of a session is ever let go of over there.
void Server::start(std::function<void()> shown) {
    refresh(true, [this, shown = std::move(shown)]() mutable { asio::post(io_, std::move(shown)); });
}

void Server::answer(const LineReader::Line& line, const std::string& client,
                    std::function<void(const std::string&)> reply) {
    if (line.too_long) {
        reply(protocol::error_reply("-", "line longer than " + std::to_string(protocol::kMaxLineBytes) + " bytes"));
        return;
    }
    const protocol::Parsed parsed = protocol::parse_request(line.text);
    if (!parsed.request) {
        reply(protocol::error_reply(parsed.command, parsed.error));
        return;
    }
    if (const std::optional<std::string> done = carry_out(board_, *parsed.request, Clock::now())) {
        if (parsed.request->command == protocol::Command::get) {
            reply(*done);
            return;
        }
        const Time now = Clock::now();
        const Indication* showing = board_.showing(now);
        log(client + ": " + line.text + " -> the LED shows " + protocol::color_name(board_.color_at(now)) +
            (showing != nullptr ? " (" + showing->name + ")" : ""));
        save(now);
        // The reply says it is done once the LED shows it.
        refresh(true, [this, reply = std::move(reply), done = *done]() mutable {
            asio::post(io_, [reply = std::move(reply), done = std::move(done)] { reply(done); });
        });
        return;
    }
    // The read-back runs on the LED's thread; the reply is made back on this one.
    led_.read_back([this, reply = std::move(reply)](LedColorCode read_back) mutable {
        asio::post(
            io_, [this, reply = std::move(reply), read_back] { reply(status_reply(board_, Clock::now(), read_back)); });
    });
}

bool Server::admit_connection() {
    if (connections_ >= kMaxConnections) {
        return false;
    }
    ++connections_;
    return true;
}

void Server::release_connection() {
    --connections_;
}

void Server::save(Time now) {
    state_.save(state_text(board_, now, std::chrono::system_clock::now()));
}

void Server::refresh(bool forced, std::function<void()> shown) {
    const Time now = Clock::now();
    const std::size_t before = board_.indications().size();
    board_.drop_ended(now);
    if (board_.indications().size() != before) {
        save(now);
    }
    const LedColorCode color = board_.color_at(now);
    if (forced || shown_ != color) {
        led_.show(color, std::move(shown));
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
            refresh(false, nullptr);
        }
    });
}

}  // namespace service
