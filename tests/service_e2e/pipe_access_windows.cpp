// Prints who may use the LED service's pipe: its DACL in SDDL, as the system keeps it.
//   pipe_access NAME      (the pipe \\.\pipe\NAME)
#include "windows_text.h"

#include <windows.h>
// These need windows.h first.
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: pipe_access NAME\n", stderr);
        return 2;
    }
    const std::wstring name = L"\\\\.\\pipe\\" + platform::to_wide(argv[1]);
    const HANDLE pipe = CreateFileW(name.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    wchar_t* text = nullptr;
    if (pipe == INVALID_HANDLE_VALUE ||
        GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr)) {
        std::fprintf(stderr, "pipe_access: %s\n", platform::system_message(GetLastError()).c_str());
        return 1;
    }
    std::printf("%s\n", platform::to_utf8(text).c_str());
    LocalFree(text);
    LocalFree(descriptor);
    CloseHandle(pipe);
    return 0;
}
