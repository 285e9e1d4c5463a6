// The state file on disk. Read once at start; written after changes by a thread of its own, so
// that a slow or full disk never holds up the service (when changes come faster than writes, the
// latest is written). A failed write leaves the last good file in place.
#pragma once

#include "latest_work.h"

#include <optional>
#include <string>
#include <utility>

namespace service {

class StateFile {
public:
    explicit StateFile(std::string path) : path_(std::move(path)) {}

    const std::string& path() const { return path_; }
    // Why the path cannot hold the state file (something that is not a regular file is there);
    // empty when it can.
    std::string unusable() const;
    // What the file holds; none when there is no file, or when it cannot be read (with why).
    std::optional<std::string> read(std::string& why_not) const;
    // Moves a file that is not to be trusted out of the way (to PATH.corrupt), so that it is
    // neither used nor lost.
    void set_aside() const;

    // Makes the file's folder if need be and starts the writing thread.
    void start();
    // Writes `text` soon, in place of the file.
    void save(std::string text);
    // Writes what is still to be written, and ends the thread.
    void stop() { writer_.stop(); }

private:
    struct Work {
        std::optional<std::string> text;
        bool empty() const { return !text; }
    };
    void write(Work& work);

    std::string path_;
    bool failing_ = false;  // the last write failed (on the writing thread)
    LatestWork<Work> writer_{[this](Work& work) { write(work); }};
};

}  // namespace service
