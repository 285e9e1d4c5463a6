// The state file and its journal on disk. Read once at start; written by a thread of its own, so
// that a slow or full disk never holds up the event loop. Each group of changes handed to it is
// appended to the journal and flushed, and told back, so that a change is answered only once it
// is kept; once the journal is long, it is folded into a new state file (written beside the old
// one, flushed and renamed over it) and started afresh. A failed write leaves what was kept before
// in place, and the next group is kept by a new state file holding everything.
#pragma once

#include "journal_file.h"
#include "latest_work.h"
#include "state_format.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace service {

// How long a stop waits for the last write: a disk that hangs does not keep the service running.
constexpr std::chrono::seconds kLastWriteWait{5};

class StateStore {
public:
    // Why the changes could not be kept (empty: they were); called on the writing thread.
    using Kept = std::function<void(const std::string& why_not)>;

    explicit StateStore(std::string path) : path_(std::move(path)), journal_path_(path_ + ".journal") {}

    const std::string& path() const { return path_; }
    const std::string& journal_path() const { return journal_path_; }
    // Why the paths cannot hold the state file and its journal (something that is not a regular
    // file is at one); empty when they can.
    std::string refusal() const;
    // What the state file holds, up to one byte more than any state file this service writes; none
    // when there is no file, or when it cannot be read (with why).
    std::optional<std::string> read_state(std::string& why_not) const;
    // What the journal holds, likewise: empty when there is none.
    std::optional<std::string> read_journal(std::string& why_not) const;
    // Moves files that are not to be trusted out of the way (to PATH.corrupt, and the journal's
    // beside it), so that they are neither used nor lost.
    void set_aside() const;

    // Makes the files' folder if need be, and starts the writing thread, which writes a new state
    // file holding `in_force` (what was restored) and starts the journal afresh.
    void start(std::vector<JournalRecord> in_force);
    // Keeps `records` soon, then calls `kept` if given. Records handed while a write is under way
    // are kept together by the next, which tells every one of them.
    void keep(std::vector<JournalRecord> records, Kept kept);
    // Keeps what is still to be kept, and ends the thread; false when that took longer than
    // kLastWriteWait. The thread is then left to finish by itself and told nothing more, and this
    // object must never be destroyed.
    bool stop();

private:
    struct Work {
        std::vector<JournalRecord> records;
        std::vector<Kept> kept;
        bool fold = false;  // a new state file is to be written whatever the journal holds
        bool empty() const { return records.empty() && kept.empty() && !fold; }
    };
    // An indication in force as the state file holds it.
    struct Entry {
        std::string entry;
        std::uint64_t order;  // larger: set later
        std::optional<long long> ends_at_ms;
    };
    void write(Work& work);
    void apply(const JournalRecord& record);
    // Writes a new state file of all that is kept, and starts the journal afresh.
    bool fold(std::string& why_not);
    void say_whether_written(bool written, const std::string& why_not);

    std::string path_;
    std::string journal_path_;
    // On the writing thread:
    JournalFile journal_;
    std::map<Indications::Key, Entry> in_force_;
    std::uint64_t next_order_ = 0;
    std::uint64_t generation_ = 0;  // the last change kept
    bool fold_owed_ = true;         // the journal is not to be appended to until a new state file is written
    bool failing_ = false;          // the last write failed
    bool journal_failing_ = false;  // the journal could not be started afresh after the last fold
    std::mutex telling_;
    bool abandoned_ = false;  // stop() gave up waiting: nobody is to be told anything
    program_support::LatestWork<Work> writer_{[this](Work& work) { write(work); }};
};

}  // namespace service
