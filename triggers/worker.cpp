#include "worker.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace triggers {

// What the thread and its owner share; the thread keeps it as long as it runs.
struct Worker::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::shared_ptr<Check> check;
    std::optional<Deadline> due;  // a check asked for and not begun
    Deliver deliver;
    bool busy = false;
    bool let_go = false;
};

Worker::Worker(std::shared_ptr<Check> check) : shared_(std::make_shared<Shared>()) {
    shared_->check = std::move(check);
    std::thread([shared = shared_] {
        std::unique_lock<std::mutex> lock(shared->mutex);
        for (;;) {
            shared->wake.wait(lock, [&shared] { return shared->due || shared->let_go; });
            if (shared->let_go) {
                return;
            }
            const Deadline deadline = *shared->due;
            shared->due.reset();
            lock.unlock();
            Outcome outcome = shared->check->run(deadline);
            lock.lock();
            shared->busy = false;
            if (shared->deliver) {
                shared->deliver(std::move(outcome));
            }
        }
    }).detach();
}

Worker::~Worker() {
    {
        const std::lock_guard<std::mutex> guard(shared_->mutex);
        shared_->let_go = true;
        shared_->deliver = nullptr;
    }
    shared_->wake.notify_one();
}

bool Worker::start(Deadline deadline, Deliver deliver) {
    {
        const std::lock_guard<std::mutex> guard(shared_->mutex);
        if (shared_->busy) {
            return false;
        }
        shared_->busy = true;
        shared_->due = deadline;
        shared_->deliver = std::move(deliver);
    }
    shared_->wake.notify_one();
    return true;
}

}  // namespace triggers
