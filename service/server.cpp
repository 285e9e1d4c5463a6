#include "server.h"

#include "protocol.h"
#include "requests.h"

#include <asio/post.hpp>

#include <utility>

namespace service {

Server::Server(asio::io_context& io, LedOutput& led) : io_(io), led_(led), clock_(io) {}

void Server::start(std::function<void()> shown) {
    refresh(true, [this, shown = std::move(shown)] { asio::post(io_, shown); });
}

void Server::answer(const LineReader::Line& line, std::function<void(const std::string&)> reply) {
    if (line.too_long) {
        reply(protocol::error_reply(
            "-", "line longer than " + std::to_string(protocol::kMaxLineBytes) + " bytes"));
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
        // The reply says it is done once the LED shows it.
        refresh(true, [this, reply = std::move(reply), done = *done] {
            asio::post(io_, [reply, done] { reply(done); });
        });
        return;
    }
    // The read-back runs on the LED's thread; the reply is made back on this one.
    led_.read_back([this, reply = std::move(reply)](LedColorCode read_back) {
        asio::post(io_, [this, reply, read_back] { reply(status_reply(board_, Clock::now(), read_back)); });
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

void Server::refresh(bool forced, std::function<void()> shown) {
    const Time now = Clock::now();
    board_.drop_ended(now);
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
