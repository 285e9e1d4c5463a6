#include "endpoint.h"

#include <algorithm>
#include <cstdlib>

namespace endpoint {
namespace {

// More than any reply of the service's (a status with every indication it may hold): a peer that
// sends more without a line feed is not the service.
constexpr std::size_t kMaxReplyBytes = 4 << 20;

}  // namespace

std::string configured() {
    const char* named = std::getenv("KAV_MORV_LED_ENDPOINT");
    return named != nullptr && named[0] != '\0' ? named : kSystemDefault;
}

long long milliseconds_until(Deadline deadline, long long most) {
    if (deadline == kNoDeadline) {
        return most;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return std::clamp<long long>(left.count(), 0, most);
}

void Connection::interrupt() {
    interrupted_ = true;
    const std::lock_guard<std::mutex> guard(channel_mutex_);
    if (channel_) {
        interrupt_channel();
    }
}

bool Connection::send(std::string_view bytes, Deadline deadline) {
    timed_out_ = false;
    failure_.clear();
    while (!bytes.empty()) {
        if (interrupted_) {
            return false;
        }
        const std::size_t sent = write_some(bytes.data(), bytes.size(), deadline);
        if (sent == 0) {
            return false;
        }
        bytes.remove_prefix(sent);
    }
    return true;
}

bool Connection::receive_line(std::string& line, Deadline deadline) {
    timed_out_ = false;
    failure_.clear();
    for (;;) {
        const std::size_t end = received_.find('\n');
        if (end != std::string::npos) {
            line = received_.substr(0, end);
            received_.erase(0, end + 1);
            return true;
        }
        char buffer[4096];
        const std::size_t got =
            received_.size() < kMaxReplyBytes && !interrupted_ ? read_some(buffer, sizeof buffer, deadline) : 0;
        if (got == 0) {
            return false;
        }
        received_.append(buffer, got);
    }
}

}  // namespace endpoint
