// The service's event loop side: answers the lines of every connection against one board, keeps
// the LED showing what the board says, and wakes for the next change only when there is one.
#pragma once

#include "board.h"
#include "connections.h"
#include "led_output.h"
#include "line_reader.h"
#include "requests.h"
#include "state_file.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace service {

// What a client may do before it is cut off (docs/protocol.md).
constexpr std::chrono::seconds kUnfinishedLineLimit{5};
constexpr std::chrono::seconds kIdleLimit{60};
// How long status waits for the LED's thread to read the LED back; after that its read_back is null.
constexpr std::chrono::milliseconds kReadBackWait{250};
// The state file is written at most this often; what changes in between is written together.
constexpr std::chrono::milliseconds kSaveSpacing{100};

class Server {
public:
    using Reply = std::function<void(const std::string&)>;

    Server(asio::io_context& io, LedOutput& led, StateFile& state);

    // Puts back what a state file holds; false, with why, when it is not one to trust.
    bool restore(const std::string& text, std::string& why_not);

    // Shows what the board says now; `shown` is called on this thread once the LED shows it.
    void start(std::function<void()> shown);

    // Answers one line of `client`'s. `reply` receives the reply line (without its line feed): at
    // once, once the LED shows a change asked, or, for status, once the LED has been read back.
    // Each change is logged with who asked it.
    void answer(const LineReader::Line& line, const Client& client, Reply reply);

    Connections& connections() { return connections_; }

    // Stops the clocks and has the state file keep what is in force. Returns what the LED should be
    // left showing: nothing new when it shows a steady colour, which stays; off instead of a blink
    // or pattern, which would otherwise stand still mid-step.
    std::optional<LedColorCode> stop();

private:
    // Forgets what has ended by `now`, saying so in the log.
    void settle(Time now);
    // Settles, sets the LED if what shows changed, and sets the clock for the next change.
    void refresh(Time now);
    // Has the state file keep what the board holds, soon.
    void changed();
    void save();

    asio::io_context& io_;
    LedOutput& led_;
    StateFile& state_;
    Board board_;
    Connections connections_;
    asio::steady_timer clock_;
    asio::steady_timer saver_;
    bool save_due_ = false;
    Time last_saved_{};
    std::optional<LedColorCode> shown_;
};

}  // namespace service
