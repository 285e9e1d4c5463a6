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

bool Connection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD sent = 0;
        if (!WriteFile(channel_->pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &sent, nullptr) ||
            sent == 0) {
            return false;
        }
        bytes.remove_prefix(sent);
    }
    return true;
}

bool Connection::receive_line(std::string& line) {
    for (;;) {
        const std::size_t end = received_.find('\n');
        if (end != std::string::npos) {
            line = received_.substr(0, end);
            received_.erase(0, end + 1);
            return true;
        }
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(channel_->pipe, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            return false;
        }
        received_.append(buffer, got);
    }
}

void Connection::close() {
    if (channel_) {
        CloseHandle(channel_->pipe);
        channel_.reset();
    }
    received_.clear();
}

}  // namespace endpoint
