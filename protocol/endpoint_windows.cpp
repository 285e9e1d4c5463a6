#include "endpoint.h"
#include "windows_text.h"

#include <windows.h>

namespace endpoint {

struct Connection::Channel {
    HANDLE pipe;
    HANDLE done;  // signalled when an overlapped read or write completes
};

Connection::Connection() = default;

Connection::~Connection() {
    close();
}

const char* const kHowToStartTheService =
    "start it with 'net start kav_morv_led', or run 'kav_morv_led_service --foreground'";

const char* const kSystemDefault = "kav_morv_led";

std::string address(const std::string& name) {
    return "\\\\.\\pipe\\" + name;
}

namespace {

constexpr long long kLongestWaitMs = 0x7FFFFFFE;  // below INFINITE

}  // namespace

Opened Connection::open(const std::string& name, std::string& why_not, Deadline deadline) {
    close();
    const std::wstring pipe = platform::to_wide(address(name));
    for (;;) {
        const HANDLE handle =
            CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (done == nullptr) {
                why_not = platform::system_message(GetLastError());
                CloseHandle(handle);
                return Opened::failed;
            }
            const std::lock_guard<std::mutex> guard(channel_mutex_);
            channel_ = std::make_unique<Channel>(Channel{handle, done});
            return Opened::yes;
        }
        const DWORD error = GetLastError();
        // Every instance of the pipe is busy for a moment: wait for one, until the deadline.
        const DWORD wait_ms = static_cast<DWORD>(milliseconds_until(deadline, kLongestWaitMs));
        if (error == ERROR_PIPE_BUSY && wait_ms > 0 && WaitNamedPipeW(pipe.c_str(), wait_ms)) {
            continue;
        }
        why_not = error == ERROR_PIPE_BUSY ? "it accepted no connection in time" : platform::system_message(error);
        if (error == ERROR_FILE_NOT_FOUND) {
            return Opened::not_running;
        }
        if (error == ERROR_ACCESS_DENIED) {
            why_not += ": only SYSTEM, Administrators and interactive users may use it";
            return Opened::not_allowed;
        }
        return Opened::failed;
    }
}

namespace {

// What the system said of a failed read or write, unless it only says the service closed the pipe.
std::string failure_of(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA
               ? std::string()
               : platform::system_message(error);
}

// Waits for an overlapped read or write until the deadline: the bytes it moved, 0 when the pipe is
// gone or the deadline passed first (then the operation is cancelled, and `timed_out` set) or the
// system failed (`failure` says how).
std::size_t finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, Deadline deadline, bool& timed_out,
                   std::string& failure) {
    DWORD moved = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        failure = failure_of(GetLastError());
        return 0;
    }
    const DWORD wait_ms = static_cast<DWORD>(milliseconds_until(deadline, kLongestWaitMs));
    if (WaitForSingleObject(overlapped.hEvent, deadline == kNoDeadline ? INFINITE : wait_ms) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &overlapped);
        timed_out = true;
    }
    if (!GetOverlappedResult(pipe, &overlapped, &moved, TRUE)) {
        failure = timed_out ? std::string() : failure_of(GetLastError());
        return 0;
    }
    return moved;
}

}  // namespace

std::size_t Connection::write_some(const char* bytes, std::size_t size, Deadline deadline) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = channel_->done;
    ResetEvent(channel_->done);
    const BOOL started = WriteFile(channel_->pipe, bytes, static_cast<DWORD>(size), nullptr, &overlapped);
    return finish(channel_->pipe, overlapped, started, deadline, timed_out_, failure_);
}

std::size_t Connection::read_some(char* buffer, std::size_t size, Deadline deadline) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = channel_->done;
    ResetEvent(channel_->done);
    const BOOL started = ReadFile(channel_->pipe, buffer, static_cast<DWORD>(size), nullptr, &overlapped);
    return finish(channel_->pipe, overlapped, started, deadline, timed_out_, failure_);
}

void Connection::interrupt_channel() {
    CancelIoEx(channel_->pipe, nullptr);  // a read or write waiting on it ends at once
}

void Connection::close() {
    const std::lock_guard<std::mutex> guard(channel_mutex_);
    if (channel_) {
        CloseHandle(channel_->pipe);
        CloseHandle(channel_->done);
        channel_.reset();
    }
    received_.clear();
}

}  // namespace endpoint
