#include "echo_server.h"

#include <windows.h>

#include <thread>

std::string start_echo_server() {
    const std::string name = "kav_morv_led_echo_" + std::to_string(GetCurrentProcessId());
    const std::wstring pipe_name = L"\\\\.\\pipe\\" + std::wstring(name.begin(), name.end());
    const HANDLE pipe =
        CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        return "";
    }
    std::thread([pipe] {
        ConnectNamedPipe(pipe, nullptr);
        char buffer[4096];
        DWORD got = 0;
        DWORD written = 0;
        while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0 &&
               WriteFile(pipe, buffer, got, &written, nullptr)) {
        }
        CloseHandle(pipe);
    }).detach();
    return name;
}
