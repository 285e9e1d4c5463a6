// Prints the owner and DACL of each path given, in SDDL, as the system reads them back: what the
// installer's and the bridge's tests compare with what the code means to write.
//   show_security PATH...
#include <windows.h>
// These need windows.h first.
#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    int status = 0;
    for (int index = 1; index < argc; ++index) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        wchar_t* text = nullptr;
        const DWORD read = GetNamedSecurityInfoW(argv[index], SE_FILE_OBJECT,
                                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                                 nullptr, nullptr, nullptr, &descriptor);
        if (read != ERROR_SUCCESS || !ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                         descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &text, nullptr)) {
            std::fwprintf(stdout, L"%ls: error %lu\n", argv[index], read != ERROR_SUCCESS ? read : GetLastError());
            status = 1;
        } else {
            std::fwprintf(stdout, L"%ls: %ls\n", argv[index], text);
        }
        LocalFree(text);
        LocalFree(descriptor);
    }
    return status;
}
