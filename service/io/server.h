// The event loop's side of the service: answers the lines of every connection through the
// dispatcher, each user's in turn with every other's, tells the watchers what changed, keeps the
// LED showing what is in force and the state file keeping it, and wakes only when something is due.
#pragma once

#include "connections.h"
#include "dispatcher.h"
#include "indications.h"
#include "line_reader.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace service {

class Server {
public:
    // The colour set, and what the LED read back right after; called on the LED's thread.
    using Shown = std::function<void(LedColorCode set, LedColorCode read_back)>;
    // Why the state file could not be written (empty: it was); called on the state file's thread.
    using Saved = std::function<void(const std::string& why_not)>;

    // What the host runs beside the event loop: the LED's thread and the state file's.
    struct Outputs {
        std::function<void(LedColorCode, Shown)> show;                     // sets the LED, latest first
        std::function<void(std::function<void(LedColorCode)>)> read_back;  // reads it back
        std::function<void(std::string, Saved)> save;                      // writes the state file
    };

    Server(asio::io_context& io, Outputs outputs);

    // Puts back what a state file holds; false, with why, when it is not one to trust.
    bool restore(const std::string& text, std::string& why_not);

    // Shows what is in force now; `shown` is called on this thread once the LED shows it.
    void start(std::function<void()> shown);

    // Takes one line of `client`'s, from the connection `from`, and answers it in its turn: the
    // users with lines waiting take one line each in turn, so that no user's requests, however
    // many connections they come on, take more than that user's share of the event loop.
    void answer(protocol::LineReader::Line line, const Client& client,
                const std::shared_ptr<Connections::Member>& from);

    Connections& connections() { return connections_; }

    // Stops the clocks and has the state file keep what is in force. Returns what the LED should be
    // left showing (see color_to_leave).
    std::optional<LedColorCode> stop();

private:
    struct Asked {
        protocol::LineReader::Line line;
        Client client;
        std::shared_ptr<Connections::Member> from;
    };
    // A change whose reply waits for the LED to show it and for the state file to keep it.
    struct Change {
        std::shared_ptr<Connections::Member> from;
        Answer answer;
        std::uint64_t generation;  // the state file keeps it once a write of this generation is done
        std::optional<LedColorCode> set, read_back;
        std::optional<std::string> unsaved;  // once written: why it could not be (empty: it was)
    };
    // The status replies asked since the last was made: one reply is made for them all.
    struct StatusAsked {
        explicit StatusAsked(asio::io_context& io) : due(io) {}
        std::vector<std::shared_ptr<Connections::Member>> from;
        std::optional<LedColorCode> read_back;
        asio::steady_timer due;
    };

    void take_turns_soon();
    void take_turn();
    void carry_out(const Asked& asked);
    void reply_when_done(const std::shared_ptr<Change>& change);
    void ask_status(const std::shared_ptr<Connections::Member>& from);
    void read_back_came(LedColorCode read_back);
    void answer_status(const std::shared_ptr<StatusAsked>& asked);
    // Lets go of what has ended by `now`, sets the LED if what shows changed, and sets the clock
    // for the next change.
    void follow(Time now);
    // What is in force changed: the state file is to keep it.
    void changed();
    void save();
    void saved(std::uint64_t generation, const std::string& why_not);
    // Logs what changed, and tells the watchers.
    void tell(const Changes& changes);
    // Runs `work` on this thread, from another.
    template <typename Work>
    void back_here(Work work);

    asio::io_context& io_;
    Outputs outputs_;
    Indications indications_;
    Connections connections_;
    asio::steady_timer clock_;
    std::optional<LedColorCode> shown_;
    std::uint64_t next_event_ = 1;  // every event is numbered, so a watcher can tell it missed none

    std::map<std::string, std::deque<Asked>> asked_;  // by user id, each user's lines in order
    std::deque<std::string> turns_;                   // the users with lines waiting, in turn
    bool turn_due_ = false;

    std::uint64_t generation_ = 0;  // changes made
    bool saving_ = false;           // a write of the state file is under way
    std::deque<std::shared_ptr<Change>> unsaved_;

    std::shared_ptr<StatusAsked> status_asked_;
    bool reading_back_ = false;  // the LED's thread has a read-back of ours to do
    Time last_status_{};         // when the last status reply was made
};

}  // namespace service
