// The state file on disk. Read once at start; written after each change by a thread of its own, so
// that a slow or full disk never holds up the service (when changes come faster than writes, the
// latest is written). A failed write leaves the last good file in place.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace service {

class StateFile {
public:
    explicit StateFile(std::string path) : path_(std::move(path)) {}
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;
    ~StateFile() { stop(); }

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
    void stop();

private:
    void run();

    std::string path_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::optional<std::string> pending_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace service
