// A thread of its own for work whose latest state is all that matters. What is handed to it while
// it is busy is merged into the work that waits, and the thread then carries out the merged whole
// in one go: a burst of changes costs one run, with the last of them. The service's LED thread and
// state file thread are each one, and so are the MQTT bridge's commands and reports.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace program_support {

// Work: default-constructible, with `bool empty() const`.
template <typename Work>
class LatestWork {
public:
    explicit LatestWork(std::function<void(Work&)> run) : run_(std::move(run)) {}
    LatestWork(const LatestWork&) = delete;
    LatestWork& operator=(const LatestWork&) = delete;
    ~LatestWork() { stop(); }

    void start() {
        stopping_ = false;
        done_ = false;
        thread_ = std::thread([this] { loop(); });
    }

    // Merges into the work that waits (`merge` is given it, under the lock) and wakes the thread.
    template <typename Merge>
    void hand(Merge merge) {
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            merge(waiting_);
        }
        wake_.notify_one();
    }

    // Merges `last` in, carries out what waits, and ends the thread. Does nothing if not started.
    template <typename Merge>
    void stop(Merge last) {
        if (!thread_.joinable()) {
            return;
        }
        ask_to_stop(last);
        thread_.join();
    }
    void stop() {
        stop([](Work&) {});
    }
    // The same, waiting at most `within` for the thread to end. False when it did not: the thread
    // is left to finish by itself, and this object, which it uses, must never be destroyed.
    template <typename Rep, typename Period>
    bool stop_within(std::chrono::duration<Rep, Period> within) {
        if (!thread_.joinable()) {
            return true;
        }
        ask_to_stop([](Work&) {});
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ended_.wait_for(lock, within, [this] { return done_; })) {
            thread_.detach();
            return false;
        }
        lock.unlock();
        thread_.join();
        return true;
    }

private:
    template <typename Merge>
    void ask_to_stop(Merge last) {
        hand([&last, this](Work& waiting) {
            last(waiting);
            stopping_ = true;
        });
    }

    void loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return !waiting_.empty() || stopping_; });
            if (waiting_.empty()) {
                done_ = true;
                ended_.notify_all();
                return;
            }
            Work taken = std::move(waiting_);
            waiting_ = Work{};
            lock.unlock();
            run_(taken);
            lock.lock();
        }
    }

    std::function<void(Work&)> run_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable ended_;
    Work waiting_;
    bool stopping_ = false;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace program_support
