#include "endpoint.h"
#include "windows_text.h"

#include <windows.h>

#include <cstdlib>

namespace endpoint {

struct Connection::Channel {
    HANDLE pipe;
};

Connection::Connection() = default;

Connection::~Connection() {
    close();
}

namespace {

// A pipe's instances may all be busy for a moment; the client waits this long for one.
constexpr DWORD kBusyWaitMs = 2000;

}  // namespace

const char* const kHowToStart = "start it with 'net start kav_morv_led', or run 'kav_morv_led_service --foreground'";

std::string configured() {
    const char* named = std::getenv("KAV_MORV_LED_ENDPOINT");
    return named != nullptr && named[0] != '\0' ? named : "kav_morv_led";
}

std::string address(const std::string& name) {
    return "\\\\.\\pipe\\" + name;
}

bool Connection::open(const std::string& name, std::string& why_not) {
    close();
    const std::wstring pipe = platform::to_wide(address(name));
    for (;;) {
        const HANDLE handle = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            channel_ = std::make_unique<Channel>(Channel{handle});
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_PIPE_BUSY || !WaitNamedPipeW(pipe.c_str(), kBusyWaitMs)) {
            why_not = platform::system_message(error);
            return false;
        }
    }
}

std::size_t Connection::write_some(const char* bytes, std::size_t size) {
    DWORD sent = 0;
    return WriteFile(channel_->pipe, bytes, static_cast<DWORD>(size), &sent, nullptr) ? sent : 0;
}

std::size_t Connection::read_some(char* buffer, std::size_t size) {
    DWORD got = 0;
    return ReadFile(channel_->pipe, buffer, static_cast<DWORD>(size), &got, nullptr) ? got : 0;
}

void Connection::close() {
    if (channel_) {
        CloseHandle(channel_->pipe);
        channel_.reset();
    }
    received_.clear();
}

}  // namespace endpoint
