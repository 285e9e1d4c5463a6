#include "listener.h"

#include "endpoint.h"
#include "service_accounts.h"
#include "session.h"
#include "windows_service.h"
#include "windows_text.h"

#include <asio/steady_timer.hpp>
#include <asio/windows/overlapped_ptr.hpp>
#include <asio/windows/stream_handle.hpp>

#include <windows.h>
// These need windows.h first.
#include <sddl.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace service {

const bool kEndpointHasGroup = false;

namespace {

using Pipe = asio::windows::stream_handle;

// Who may use the pipe: SYSTEM and Administrators everything; interactive users and the service
// accounts of the MQTT bridge and the triggers program may read and write, that is connect and send
// requests, but not make instances of the pipe (which would let them serve its name themselves).
std::wstring pipe_security_text() {
    const std::wstring ask = L"0x12008b";
    return L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;" + ask + L";;;IU)(A;;" + ask + L";;;" +
           platform::to_wide(platform::service_account_sid(service_accounts::kBridge)) + L")(A;;" + ask + L";;;" +
           platform::to_wide(platform::service_account_sid(service_accounts::kTriggers)) + L")";
}

// The pipe's security descriptor, made once.
SECURITY_ATTRIBUTES* pipe_security() {
    static SECURITY_ATTRIBUTES attributes = [] {
        SECURITY_ATTRIBUTES made{};
        made.nLength = sizeof made;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(pipe_security_text().c_str(), SDDL_REVISION_1,
                                                             &made.lpSecurityDescriptor, nullptr);
        return made;
    }();
    return attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr;
}

constexpr DWORD kPipeBufferBytes = 4096;
// After a pipe instance could not be made, a pause before the next try, rather than a spin.
constexpr std::chrono::milliseconds kListenRetry{100};

// Each connection gets an instance of the pipe; the first one made claims the name, so another
// process cannot serve it as well (where the system enforces it).
HANDLE make_instance(const std::wstring& name, bool first) {
    return CreateNamedPipeW(name.c_str(),
                            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, pipe_security());
}

// The account a SID names, as DOMAIN\name; none when the system has no name for it.
std::optional<std::string> account_of(PSID sid) {
    wchar_t name[256];
    wchar_t domain[256];
    DWORD name_size = 256;
    DWORD domain_size = 256;
    SID_NAME_USE use{};
    if (!LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
        return std::nullopt;
    }
    return platform::to_utf8(std::wstring(domain) + L"\\" + name);
}

// Whether a token speaks for SYSTEM or an elevated Administrator, who may clear anyone's indication.
bool privileged(HANDLE token, PSID user) {
    if (IsWellKnownSid(user, WinLocalSystemSid)) {
        return true;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !GetTokenInformation(token, TokenGroups, buffer.data(), size, &size)) {
        return false;
    }
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD index = 0; index < groups->GroupCount; ++index) {
        const SID_AND_ATTRIBUTES& group = groups->Groups[index];
        // A filtered (not elevated) Administrator holds the group for denying only.
        if (IsWellKnownSid(group.Sid, WinBuiltinAdministratorsSid) && (group.Attributes & SE_GROUP_ENABLED) != 0) {
            return true;
        }
    }
    return false;
}

// The user of the process at the other end, from its token: known as soon as it connects, so that
// its connections count for it before it sends anything.
std::optional<Client> identify_client(Pipe& pipe) {
    ULONG process_id = 0;
    if (!GetNamedPipeClientProcessId(pipe.native_handle(), &process_id)) {
        return std::nullopt;
    }
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    HANDLE token = nullptr;
    const bool opened = process != nullptr && OpenProcessToken(process, TOKEN_QUERY, &token);
    if (process != nullptr) {
        CloseHandle(process);
    }
    if (!opened) {
        return std::nullopt;
    }
    alignas(TOKEN_USER) unsigned char buffer[256];
    DWORD size = 0;
    wchar_t* sid_text = nullptr;
    std::optional<Client> client;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid_text)) {
        const PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
        const std::string sid = platform::to_utf8(sid_text);
        LocalFree(sid_text);
        client = Client{{sid, account_of(user).value_or(sid)}, privileged(token, user), ""};
        client->description = "user " + client->owner.name + ", process " + std::to_string(process_id);
    }
    CloseHandle(token);
    return client;
}

class PipeListener final : public Listener {
public:
    PipeListener(asio::io_context& io, std::wstring name, HANDLE instance_mutex, HANDLE first_instance)
        : io_(io),
          retry_(io),
          name_(std::move(name)),
          instance_mutex_(instance_mutex),
          waiting_(std::make_shared<Pipe>(io, first_instance)) {}
    ~PipeListener() override { close(); }

    void serve(Server& server) override {
        if (!waiting_) {
            const HANDLE instance = make_instance(name_, false);
            if (instance == INVALID_HANDLE_VALUE) {
                retry_.expires_after(kListenRetry);
                retry_.async_wait([this, &server](const asio::error_code&) {
                    if (open()) {
                        serve(server);
                    }
                });
                return;
            }
            waiting_ = std::make_shared<Pipe>(io_, instance);
        }
        const std::shared_ptr<Pipe> pipe = waiting_;
        asio::windows::overlapped_ptr connected(io_, [this, &server, pipe](const asio::error_code& error, std::size_t) {
            if (!open()) {
                return;
            }
            waiting_.reset();
            if (!error) {
                std::make_shared<Session<Pipe>>(std::move(*pipe), server, &identify_client)->start();
            }
            serve(server);
        });
        const BOOL done = ConnectNamedPipe(pipe->native_handle(), connected.get());
        const DWORD error = GetLastError();
        if (!done && error == ERROR_IO_PENDING) {
            connected.release();
        } else if (!done && error != ERROR_PIPE_CONNECTED) {
            connected.complete(asio::error_code(static_cast<int>(error), asio::error::get_system_category()), 0);
        } else {
            connected.complete(asio::error_code(), 0);  // a client came before the wait began
        }
    }

    void close() override {
        if (!open()) {
            return;
        }
        CloseHandle(instance_mutex_);
        instance_mutex_ = nullptr;
        if (waiting_) {
            asio::error_code ignored;
            waiting_->close(ignored);
        }
    }

private:
    bool open() const { return instance_mutex_ != nullptr; }

    asio::io_context& io_;
    asio::steady_timer retry_;
    std::wstring name_;
    HANDLE instance_mutex_;
    std::shared_ptr<Pipe> waiting_;  // the instance waiting for the next client
};

// A name for the machine-wide object that marks an endpoint as served. Pipe names are compared
// without regard to case, so this one is in capitals: PROBER and prober are one endpoint.
std::wstring instance_object_name(const std::wstring& name) {
    std::wstring served(name.size(), L'\0');
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()), served.data(),
                  static_cast<int>(served.size()), nullptr, nullptr, 0);
    return L"Global\\kav_morv_led_service." + served;
}

}  // namespace

// The system would take another spelling of some names for the same pipe (a trailing dot or space,
// a path inside it), so a second service could serve it as well: those are refused.
std::string endpoint_refusal(const std::string& name) {
    const std::wstring wide = platform::to_wide(name);
    if (wide.empty() || wide.size() > 200) {
        return "a pipe name must be 1 to 200 characters of UTF-8";
    }
    if (wide.find_first_of(L"\\/") != std::wstring::npos) {
        return "a pipe name may hold no backslash or slash";
    }
    if (wide.back() == L'.' || wide.back() == L' ') {
        return "a pipe name may not end in a dot or a space";
    }
    return "";
}

std::unique_ptr<Listener> claim_endpoint(asio::io_context& io, const std::string& name, const std::string&,
                                         std::string& why_not) {
    why_not = endpoint_refusal(name);
    if (!why_not.empty()) {
        return nullptr;
    }
    const std::wstring wide_name = platform::to_wide(name);
    const std::wstring pipe_name = platform::to_wide(endpoint::address(name));
    if (pipe_security() == nullptr) {
        why_not = "the pipe's security descriptor cannot be made: " + platform::system_message(GetLastError());
        return nullptr;
    }
    // The pipe's first-instance flag is what stops another process on Windows; this object is what
    // a second instance of the service sees wherever that flag is not enforced.
    const HANDLE instance_mutex = CreateMutexW(nullptr, FALSE, instance_object_name(wide_name).c_str());
    if (instance_mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        why_not = instance_mutex == nullptr ? platform::system_message(GetLastError())
                                            : "another instance of the service already serves it";
        if (instance_mutex != nullptr) {
            CloseHandle(instance_mutex);
        }
        return nullptr;
    }
    const HANDLE first = make_instance(pipe_name, true);
    if (first == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // Denied to a first instance where the name is served; busy where the other program allows
        // no more instances than its own.
        why_not = error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY ? "another program already serves it"
                                                                           : platform::system_message(error);
        CloseHandle(instance_mutex);
        return nullptr;
    }
    return std::make_unique<PipeListener>(io, pipe_name, instance_mutex, first);
}

}  // namespace service
