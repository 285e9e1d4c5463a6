// The state file on disk. Read once at start; written by a thread of its own, so that a slow or
// full disk never holds up the event loop. Each write is told back, so that a change is answered
// only once the file keeps it. A failed write leaves the last good file in place.
#pragma once

#include "latest_work.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace service {

// How long a stop waits for the last write: a disk that hangs does not keep the service running.
constexpr std::chrono::seconds kLastWriteWait{5};

class StateFile {
public:
    // Why the file could not be written (empty: it was); called on the writing thread.
    using Saved = std::function<void(const std::string& why_not)>;

    explicit StateFile(std::string path) : path_(std::move(path)) {}

    const std::string& path() const { return path_; }
    // Why the path cannot hold the state file (something that is not a regular file is there);
    // empty when it can.
    std::string unusable() const;
    // What the file holds, up to one byte more than any state file this service writes; none when
    // there is no file, or when it cannot be read (with why).
    std::optional<std::string> read(std::string& why_not) const;
    // Moves a file that is not to be trusted out of the way (to PATH.corrupt), so that it is
    // neither used nor lost.
    void set_aside() const;

    // Makes the file's folder if need be and starts the writing thread.
    void start();
    // Writes `text` soon, in place of the file, then calls `saved` if given. Texts handed while a
    // write is under way give way to the latest, whose write tells every one of them.
    void save(std::string text, Saved saved);
    // Writes what is still to be written, and ends the thread; false when that took longer than
    // kLastWriteWait. The thread is then left to finish by itself and told nothing more, and this
    // object must never be destroyed.
    bool stop();

private:
    struct Work {
        std::optional<std::string> text;
        std::vector<Saved> saved;
        bool empty() const { return !text; }
    };
    void write(Work& work);

    std::string path_;
    bool failing_ = false;  // the last write failed (on the writing thread)
    std::mutex telling_;
    bool abandoned_ = false;  // stop() gave up waiting: nobody is to be told anything
    protocol::LatestWork<Work> writer_{[this](Work& work) { write(work); }};
};

}  // namespace service
