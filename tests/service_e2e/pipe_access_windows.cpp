// The LED service's pipe as other programs see it, for tests:
//   pipe_access NAME         prints who may use \\.\pipe\NAME: its DACL in SDDL, as the system keeps it
//   pipe_access squat NAME   makes \\.\pipe\NAME first, as another program serving that name would,
//                            prints "held", and keeps it until its standard input ends
#include "windows_text.h"

#include <windows.h>
// These need windows.h first.
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::wstring pipe_path(const char* name) {
    return L"\\\\.\\pipe\\" + platform::to_wide(name);
}

int fail(const char* what) {
    std::fprintf(stderr, "pipe_access: %s: %s\n", what, platform::system_message(GetLastError()).c_str());
    return 1;
}

int show_access(const char* name) {
    const HANDLE pipe = CreateFileW(pipe_path(name).c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    wchar_t* text = nullptr;
    if (pipe == INVALID_HANDLE_VALUE ||
        GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr)) {
        return fail("cannot read the pipe's DACL");
    }
    std::printf("%s\n", platform::to_utf8(text).c_str());
    LocalFree(text);
    LocalFree(descriptor);
    CloseHandle(pipe);
    return 0;
}

int squat(const char* name) {
    const HANDLE pipe = CreateNamedPipeW(pipe_path(name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        return fail("cannot make the pipe");
    }
    std::puts("held");
    static_cast<void>(std::fflush(stdout));
    while (std::fgetc(stdin) != EOF) {
    }
    CloseHandle(pipe);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2) {
        return show_access(argv[1]);
    }
    if (argc == 3 && std::strcmp(argv[1], "squat") == 0) {
        return squat(argv[2]);
    }
    std::fputs("usage: pipe_access NAME | pipe_access squat NAME\n", stderr);
    return 2;
}
