#include "windows_service.h"

#include "windows_text.h"

#include <windows.h>

#include <shlobj.h>
// These need windows.h first.
#include <aclapi.h>
#include <wincrypt.h>
#include <sddl.h>

#include <cstdint>
#include <cwctype>
#include <mutex>
#include <vector>
#include <string>
#include <utility>

namespace platform {
namespace {

// How long the service may take to start (the LED's Init waits 500 ms) and to stop.
constexpr DWORD kStartHintMs = 10000;
constexpr DWORD kStopHintMs = 10000;

// What the Service Control Manager knows of the running service, and how to stop it.
struct Running {
    std::mutex mutex;
    std::wstring name;
    SERVICE_STATUS_HANDLE handle = nullptr;
    DWORD checkpoint = 0;
    std::function<void()> stop;
    bool stop_asked = false;
    ServiceBody body;
    std::function<void()> parameters_changed;
};

Running& running() {
    static Running state;
    return state;
}

void report(DWORD state, DWORD wait_hint, DWORD exit_status = 0) {
    Running& service = running();
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | (service.parameters_changed ? SERVICE_ACCEPT_PARAMCHANGE : 0)
            : 0;
    // A failure is reported as such, so that the recovery actions restart the service.
    status.dwWin32ExitCode = exit_status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exit_status;
    const bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
    status.dwCheckPoint = settled ? 0 : ++service.checkpoint;
    status.dwWaitHint = wait_hint;
    SetServiceStatus(service.handle, &status);
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Running& service = running();
        const std::lock_guard<std::mutex> guard(service.mutex);
        report(SERVICE_STOP_PENDING, kStopHintMs);
        service.stop_asked = true;
        if (service.stop) {
            service.stop();
        }
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_PARAMCHANGE && running().parameters_changed) {
        running().parameters_changed();
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI service_main(DWORD, LPWSTR*) {
    Running& service = running();
    service.handle = RegisterServiceCtrlHandlerExW(service.name.c_str(), on_control, nullptr);
    if (service.handle == nullptr) {
        return;
    }
    report(SERVICE_START_PENDING, kStartHintMs);
    const int status = service.body([&service](std::function<void()> stop) {
        const std::lock_guard<std::mutex> guard(service.mutex);
        service.stop = std::move(stop);
        report(SERVICE_RUNNING, 0);
        if (service.stop_asked) {
            service.stop();
        }
    });
    {
        const std::lock_guard<std::mutex> guard(service.mutex);
        service.stop = nullptr;
    }
    report(SERVICE_STOPPED, 0, static_cast<DWORD>(status));
}

}  // namespace

bool run_as_windows_service(const std::wstring& name, ServiceBody body, std::function<void()> parameters_changed) {
    running().name = name;
    running().body = std::move(body);
    running().parameters_changed = std::move(parameters_changed);
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(running().name.c_str()), service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) != 0;
}

bool start_windows_service(const std::wstring& name, std::string& why_not) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service =
        manager != nullptr ? OpenServiceW(manager, name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS) : nullptr;
    DWORD error = service != nullptr ? ERROR_SUCCESS : GetLastError();
    // One that is still stopping (an installer stopped it a moment ago) is let stop first; then it
    // is started, and seen to run (or to stop, having failed).
    const ULONGLONG deadline = GetTickCount64() + kStartHintMs + kStopHintMs;
    bool running = false;
    bool asked = false;
    SERVICE_STATUS status{};
    while (service != nullptr && !running && error == ERROR_SUCCESS && GetTickCount64() < deadline) {
        if (!QueryServiceStatus(service, &status)) {
            error = GetLastError();
        } else if (status.dwCurrentState == SERVICE_RUNNING) {
            running = true;
        } else if (status.dwCurrentState == SERVICE_STOPPED && asked) {
            error = status.dwWin32ExitCode != NO_ERROR ? status.dwWin32ExitCode : ERROR_SERVICE_NOT_ACTIVE;
        } else if (status.dwCurrentState == SERVICE_STOPPED) {
            asked = true;
            if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
                error = GetLastError();
            }
        } else {
            Sleep(100);
        }
    }
    why_not = running ? "" : system_message(error == ERROR_SUCCESS ? ERROR_SERVICE_REQUEST_TIMEOUT : error);
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return running;
}

bool stop_windows_service(const std::wstring& name, std::string& why_not) {
    why_not.clear();
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service =
        manager != nullptr ? OpenServiceW(manager, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    if (service != nullptr && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                                   sizeof status, &size) &&
        status.dwCurrentState != SERVICE_STOPPED) {
        // Its process, to see it end: a service reported stopped may still be exiting.
        const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
        SERVICE_STATUS stopping{};
        if (!ControlService(service, SERVICE_CONTROL_STOP, &stopping) &&
            GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
            why_not = system_message(GetLastError());
        } else if (process != nullptr && WaitForSingleObject(process, kStopHintMs) != WAIT_OBJECT_0) {
            why_not = "its process did not end within " + std::to_string(kStopHintMs / 1000) + " s";
        }
        if (process != nullptr) {
            CloseHandle(process);
        }
    } else if (service == nullptr && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        why_not = system_message(GetLastError());
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return why_not.empty();
}

void write_to_event_log(const std::wstring& name, const std::string& line) {
    static std::mutex mutex;
    static HANDLE source = nullptr;
    const std::lock_guard<std::mutex> guard(mutex);
    if (source == nullptr) {
        source = RegisterEventSourceW(nullptr, name.c_str());
    }
    const std::wstring text = to_wide(line);
    const wchar_t* strings[] = {text.c_str()};
    ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
}

bool is_administration(void* sid) {
    static const std::vector<unsigned char> own = [] {
        HANDLE token = nullptr;
        std::vector<unsigned char> user(256);
        DWORD size = 0;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
            !GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size)) {
            user.clear();
        }
        if (token != nullptr) {
            CloseHandle(token);
        }
        return user;
    }();
    return sid != nullptr &&
           (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
            (!own.empty() && EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(own.data())->User.Sid)));
}

std::string account_name(void* sid) {
    wchar_t name[256];
    wchar_t domain[256];
    DWORD name_size = 256;
    DWORD domain_size = 256;
    SID_NAME_USE use{};
    if (LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
        return to_utf8(domain_size > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name));
    }
    wchar_t* text = nullptr;
    std::string said = "an unknown account";
    if (ConvertSidToStringSidW(sid, &text)) {
        said = to_utf8(text);
        LocalFree(text);
    }
    return said;
}

namespace {

// SYSTEM and Administrators: full control of the folder and, handed down, of what is made in it.
constexpr const wchar_t* kDataFolderSecurity = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// The owner and DACL of the file or folder at `path`, itself and not what a link leads to.
struct Security {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL access = nullptr;
    bool is_link = false;
    bool is_folder = false;
    DWORD error = ERROR_SUCCESS;
    explicit Security(const std::wstring& path) {
        const HANDLE file = CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr);
        BY_HANDLE_FILE_INFORMATION information{};
        if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &information)) {
            error = GetLastError();
        } else {
            is_link = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            is_folder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            error = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &access, nullptr, &descriptor);
        }
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    ~Security() { LocalFree(descriptor); }
    Security(const Security&) = delete;
    Security& operator=(const Security&) = delete;

    // Whether only SYSTEM and Administrators are let in (whatever is handed down from above).
    bool theirs_alone() const {
        if (access == nullptr) {
            return false;
        }
        for (DWORD index = 0; index < access->AceCount; ++index) {
            void* entry = nullptr;
            if (!GetAce(access, index, &entry) || static_cast<ACE_HEADER*>(entry)->AceType != ACCESS_ALLOWED_ACE_TYPE ||
                !is_administration(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart)) {
                return false;
            }
        }
        return true;
    }
};

// Sets aside each file of `folder` that someone else owns; what was set aside, for the news.
std::string set_aside_foreign_files(const std::wstring& folder) {
    std::string set_aside;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        const std::wstring path = folder + L"\\" + found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        const Security file(path);
        if (file.error == ERROR_SUCCESS && !is_administration(file.owner)) {
            const std::string owner = account_name(file.owner);
            const bool moved = MoveFileExW(path.c_str(), (path + L".untrusted").c_str(), MOVEFILE_REPLACE_EXISTING);
            set_aside += "; " + to_utf8(found.cFileName) + " (" + owner + "'s) " +
                         (moved ? "set aside as " + to_utf8(found.cFileName) + ".untrusted"
                                : "could not be set aside: " + system_message(GetLastError()));
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    return set_aside;
}

}  // namespace

std::string secured_data_folder(std::string& news, std::string& why_not) {
    news.clear();
    const std::string folder = program_data_folder() + "\\kav_morv_led";
    const std::wstring wide = to_wide(folder);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kDataFolderSecurity, SDDL_REVISION_1,
                                                              &attributes.lpSecurityDescriptor, nullptr)) {
        why_not = "cannot make the security of " + folder + ": " + system_message(GetLastError());
        return "";
    }
    const bool made = CreateDirectoryW(wide.c_str(), &attributes);
    const DWORD error = made ? ERROR_SUCCESS : GetLastError();
    std::string result = folder;
    if (!made && error != ERROR_ALREADY_EXISTS) {
        why_not = "cannot make " + folder + ": " + system_message(error) + " (run it as administrator)";
        result.clear();
    } else if (!made) {
        const Security there(wide);
        if (there.error != ERROR_SUCCESS) {
            why_not = "cannot read the security of " + folder + ": " + system_message(there.error);
            result.clear();
        } else if (there.is_link || !there.is_folder) {
            why_not = folder + " is " + (there.is_link ? "a link" : "not a folder") +
                      ": someone else made it; remove it, and try again";
            result.clear();
        } else if (!is_administration(there.owner)) {
            why_not = folder + " is owned by " + account_name(there.owner) +
                      ", not SYSTEM or Administrators: someone else made it, and may have put files in it; see what "
                      "it holds, remove it, and try again";
            result.clear();
        } else if (!there.theirs_alone()) {
            BOOL present = FALSE;
            BOOL defaulted = FALSE;
            PACL access = nullptr;
            GetSecurityDescriptorDacl(attributes.lpSecurityDescriptor, &present, &access, &defaulted);
            const DWORD set = SetNamedSecurityInfoW(const_cast<wchar_t*>(wide.c_str()), SE_FILE_OBJECT,
                                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                                    nullptr, nullptr, access, nullptr);
            if (set != ERROR_SUCCESS) {
                why_not = folder + " lets others in, and its ACL cannot be mended: " + system_message(set);
                result.clear();
            } else {
                news = folder + " let others than SYSTEM and Administrators in: its ACL is now theirs alone" +
                       set_aside_foreign_files(wide);
            }
        }
    }
    LocalFree(attributes.lpSecurityDescriptor);
    return result;
}

std::string service_account_sid(const std::string& name) {
    std::wstring capitals = to_wide(name);
    for (wchar_t& c : capitals) {
        c = static_cast<wchar_t>(towupper(c));
    }
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[20];
    DWORD size = sizeof digest;
    const bool hashed =
        CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash) &&
        CryptHashData(hash, reinterpret_cast<const BYTE*>(capitals.data()),
                      static_cast<DWORD>(capitals.size() * sizeof(wchar_t)), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest;
    if (hash != 0) {
        CryptDestroyHash(hash);
    }
    if (provider != 0) {
        CryptReleaseContext(provider, 0);
    }
    if (!hashed) {
        return "";
    }
    std::string sid = "S-1-5-80";
    for (std::size_t at = 0; at < sizeof digest; at += 4) {
        const std::uint32_t word = digest[at] | digest[at + 1] << 8 | digest[at + 2] << 16 |
                                   static_cast<std::uint32_t>(digest[at + 3]) << 24;
        sid += "-" + std::to_string(word);
    }
    return sid;
}

std::string program_data_folder() {
    wchar_t* folder = nullptr;
    std::wstring data = L"C:\\ProgramData";
    if (SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_DEFAULT, nullptr, &folder) == S_OK) {
        data = folder;
    }
    CoTaskMemFree(folder);
    return to_utf8(data);
}

}  // namespace platform
