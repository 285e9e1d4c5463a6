// The service's event loop side: answers the lines of every connection against one board, keeps
// the LED showing what the board says, and wakes for the next change only when there is one.
#pragma once

#include "board.h"
#include "led_output.h"
#include "line_reader.h"
#include "state_file.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace service {

// What a client may do before it is cut off (docs/protocol.md).
constexpr std::size_t kMaxConnections = 512;
constexpr std::chrono::seconds kUnfinishedLineLimit{5};
constexpr std::chrono::seconds kIdleLimit{60};

class Server {
public:
    Server(asio::io_context& io, LedOutput& led, StateFile& state);

    // Puts back what a state file holds; false, with why, when it is not one to trust.
    bool restore(const std::string& text, std::string& why_not);

    // Shows what the board says now; `shown` is called on this thread once the LED shows it.
    void start(std::function<void()> shown);

    // Answers one line of a client's. `reply` receives the reply line (without its line feed), once
    // the LED shows a change asked or, for status, once the LED has been read back. Each change is
    // logged with `client`, who asked it.
    void answer(const LineReader::Line& line, const std::string& client, std::function<void(const std::string&)> reply);

    // Whether one more connection may be served; each that may is let go with release_connection.
    bool admit_connection();
    void release_connection();

private:
    // Forgets ended indications, sets the LED if what shows changed (or always, when `forced`,
    // then calling `shown` on this thread once it is set), and sets the clock for the next change.
    void refresh(bool forced, std::function<void()> shown);
    // Has the state file keep what the board holds now.
    void save(Time now);

    asio::io_context& io_;
    LedOutput& led_;
    StateFile& state_;
    Board board_;
    asio::steady_timer clock_;
    std::optional<LedColorCode> shown_;
    std::size_t connections_ = 0;
};

}  // namespace service
