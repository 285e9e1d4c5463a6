// The event loop's side of the service: answers the lines of every connection through the
// dispatcher, each user's in turn with every other's, tells the watchers what changed, keeps the
// LED showing what is in force and the journal keeping it, shares status replies while what they
// report holds, and wakes only when something is due.
#pragma once

#include "connections.h"
#include "dispatcher.h"
#include "indications.h"
#include "line_log.h"
#include "line_reader.h"
#include "service_clock.h"
#include "state_format.h"
#include "status_board.h"

#include <asio/io_context.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace service {

// How many bytes of replies each user's requests may have written, at most: up to kReplyBurstBytes
// at once, then kReplyBytesPerSecond. A user past it takes no turn until it is theirs again, so
// that large replies to a flood of one user's requests (a status of a full board is a quarter of a
// MiB) never take the event loop, or the processors, from the others.
constexpr double kReplyBytesPerSecond = 32.0 * 1024 * 1024;
constexpr double kReplyBurstBytes = 1024.0 * 1024;

class Server {
public:
    // The colour set, and what the LED read back right after.
    using ColorSet = std::function<void(LedColorCode set, LedColorCode read_back)>;
    using ReadBack = std::function<void(LedColorCode read_back)>;
    // Why changes could not be kept (empty: they were); called on the state file's thread.
    using Kept = std::function<void(const std::string& why_not)>;
    // A status reply, made on the status board's thread.
    using StatusMade = std::function<void(Line line)>;

    // What the host runs beside the event loop: the LED's thread, the state file's, and the status board's.
    struct Outputs {
        std::function<void(LedColorCode, ColorSet)> set_color;              // sets the LED, calls back on its thread
        std::function<void(ReadBack)> read_back;                            // reads it back
        std::function<void(std::vector<JournalRecord>, Kept)> keep;         // appends to the journal, flushed
        std::function<void(std::vector<BoardChange>)> change_status_board;  // changes, in order
        std::function<void(Time, std::optional<LedColorCode>, StatusMade)> make_status;  // after the changes before it
    };

    Server(asio::io_context& io, Outputs outputs);

    // Puts back what the state file and its journal hold; false, with why, when they are not
    // ones to trust. `torn_record` says whether the journal's last record was cut short and dropped.
    bool restore(const std::optional<std::string>& state, const std::string& journal, bool& torn_record,
                 std::string& why_not);
    // Every indication in force, as records of the journal: what a new state file starts from.
    std::vector<JournalRecord> records_in_force() const;

    // Shows what is in force now; `once_shown` is called on this thread once the LED shows it.
    void start(const std::function<void()>& once_shown);

    // Takes one line of `client`'s, from the connection `from`, and answers it in its turn: the
    // users with lines waiting take one line each in turn, so that no user's requests, however
    // many connections they come on, take more than that user's share of the event loop.
    void answer(protocol::LineReader::Line line, const Client& client,
                const std::shared_ptr<Connections::Member>& from);

    // Counts the bytes of a reply to one of `user`'s requests, as its connection writes it.
    void replying(const std::string& user, std::size_t bytes);

    // Answers every request with an error saying `refusal` (while the LED cannot be driven yet),
    // or, when it is empty, as usual.
    void refuse_requests(std::string refusal) { refusal_ = std::move(refusal); }

    Connections& connections() { return connections_; }
    // What users can make the service say over and over goes through here.
    program_support::RationedLog& rationed_log() { return log_; }

    // Stops the clocks. Returns what the LED should be left showing (see color_to_leave).
    std::optional<LedColorCode> stop();

private:
    struct Asked {
        protocol::LineReader::Line line;
        Client client;
        std::shared_ptr<Connections::Member> from;
    };
    // A change whose reply waits for the LED to show it and for the journal to keep it.
    struct Change {
        std::shared_ptr<Connections::Member> from;
        Answer answer;
        std::uint64_t generation;  // kept once a write holding this generation is done
        std::optional<LedColorCode> set, read_back;
        std::optional<std::string> unkept;  // once written: why it could not be (empty: it was)
    };
    struct StatusAsked {
        std::shared_ptr<Connections::Member> from;
        Time at;
        std::uint64_t board_generation;  // what was in force when it was asked
    };
    // A status reply made, shared by every status asked while what it reports still holds.
    struct StatusText {
        Line line;
        std::uint64_t board_generation;
        Time read_at;  // when the LED was read back for it (or found unreadable)
    };

    void take_turns_soon();
    void take_turn();
    // The bytes `user` may still have written at `now`.
    double allowance(const std::string& user, Time now) const;
    void carry_out(const Asked& asked);
    void reply_when_done(const std::shared_ptr<Change>& change);
    void ask_status(const std::shared_ptr<Connections::Member>& from);
    void make_status_when_ready();
    void read_back_came(LedColorCode read_back);
    void make_status(std::optional<LedColorCode> read_back, Time read_at);
    void status_made(const Line& line, std::uint64_t board_generation, Time read_at);
    // Lets go of what has ended by `now`, sets the LED if what shows changed (or always, when
    // `on_set` waits for it: called on this thread), and sets the clock for the next change.
    void advance_to(Time now, ColorSet on_set = nullptr);
    // Has the LED's thread set `color` and read it back: at once when it is not setting one, else
    // with every colour asked meanwhile, the latest, once it is done.
    void set_led(LedColorCode color, ColorSet on_set);
    void hand_led();
    // Has the journal keep these records: at once when no write is under way, else with all
    // those handed meanwhile, by the next.
    void keep(std::vector<JournalRecord> records);
    void keep_waiting();
    void kept(std::uint64_t generation, const std::string& why_not);
    // Logs what changed (each user's lines rationed), tells the watchers, and has the status board follow.
    void publish(const Changes& changes);
    // Hands the status board the changes held for it: before a status is made, or once many wait,
    // so that its thread is not woken for each.
    void hand_board_changes();
    // Runs `work` on this thread, from another.
    template <typename Work>
    void back_here(Work work);

    asio::io_context& io_;
    Outputs outputs_;
    Indications indications_;
    Connections connections_;
    program_support::RationedLog log_;
    std::string refusal_;
    Timer clock_;
    std::optional<LedColorCode> led_color_;     // the colour last handed to the LED
    bool setting_led_ = false;                  // the LED's thread has a colour of ours to set
    std::optional<LedColorCode> led_waiting_;   // the latest colour asked meanwhile
    std::vector<ColorSet> led_waiting_on_set_;  // who waits for it
    std::uint64_t next_event_ = 1;              // every event is numbered, so a watcher can tell it missed none

    std::map<std::string, std::deque<Asked>> asked_;  // by user id, each user's lines in order
    std::deque<std::string> turns_;                   // the users with lines waiting, in turn
    // By user id, the bytes of replies each may still have written now, and when that was so.
    struct Allowance {
        double bytes;
        Time at;
    };
    std::map<std::string, Allowance> allowances_;
    std::map<std::string, Timer> held_back_;  // users with lines waiting past their allowance, until it is back
    bool turn_due_ = false;

    std::uint64_t generation_ = 0;       // the last change made, as the journal numbers them
    bool keeping_ = false;               // a write of the journal is under way
    std::vector<JournalRecord> unkept_;  // handed since it began
    std::deque<std::shared_ptr<Change>> changes_waiting_;

    std::vector<BoardChange> board_changes_;  // not yet handed to the status board
    std::uint64_t board_generation_ = 0;      // changes of what status reports: in force, or the colour shown
    std::optional<StatusText> status_text_;
    std::deque<StatusAsked> status_asked_;  // waiting for a reply to be made, in order
    bool making_status_ = false;
    std::optional<LedColorCode> read_back_;   // the last the LED read back
    std::optional<Time> read_back_at_;        // when it was asked for
    std::optional<Time> reading_back_since_;  // a read-back of ours is under way on the LED's thread
    Timer read_back_due_;                     // when status stops waiting for it
    bool read_back_late_ = false;             // the wait ran out: status says read_back null
};

}  // namespace service
