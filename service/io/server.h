// The event loop's side of the service: answers the lines of every connection through the
// dispatcher, tells the watchers what changed, keeps the LED showing what is in force and the
// state file keeping it, and wakes only when something is due.
#pragma once

#include "connections.h"
#include "dispatcher.h"
#include "indications.h"
#include "line_reader.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace service {

// The state file is written at most this often; what changes in between is written together.
constexpr std::chrono::milliseconds kSaveSpacing{100};

class Server {
public:
    // The colour set, and what the LED read back right after; called on the LED's thread.
    using Shown = std::function<void(LedColorCode set, LedColorCode read_back)>;

    // What the host runs beside the event loop: the LED's thread and the state file's.
    struct Outputs {
        std::function<void(LedColorCode, Shown)> show;                     // sets the LED, latest first
        std::function<void(std::function<void(LedColorCode)>)> read_back;  // reads it back
        std::function<void(std::string)> save;                             // writes the state file
    };

    Server(asio::io_context& io, Outputs outputs);

    // Puts back what a state file holds; false, with why, when it is not one to trust.
    bool restore(const std::string& text, std::string& why_not);

    // Shows what is in force now; `shown` is called on this thread once the LED shows it.
    void start(std::function<void()> shown);

    // Answers one line of `client`'s, on the connection `from`, when the dispatcher says it may go.
    void answer(const protocol::LineReader::Line& line, const Client& client,
                const std::shared_ptr<Connections::Member>& from);

    Connections& connections() { return connections_; }

    // Stops the clocks and has the state file keep what is in force. Returns what the LED should be
    // left showing (see color_to_leave).
    std::optional<LedColorCode> stop();

private:
    // Lets go of what has ended by `now`, sets the LED if what shows changed, and sets the clock
    // for the next change.
    void follow(Time now);
    // Has the state file keep what is in force, soon.
    void changed();
    void save();
    // Logs what changed, and tells the watchers.
    void tell(const Changes& changes);
    // Runs `work` on this thread, from the LED's.
    template <typename Work>
    void back_here(Work work);

    asio::io_context& io_;
    Outputs outputs_;
    Indications indications_;
    Connections connections_;
    asio::steady_timer clock_;
    asio::steady_timer saver_;
    bool save_due_ = false;
    Time last_saved_{};
    std::optional<LedColorCode> shown_;
    std::uint64_t next_event_ = 1;  // every event is numbered, so a watcher can tell it missed none
};

}  // namespace service
