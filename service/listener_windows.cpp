#include "listener.h"

#include "endpoint.h"
#include "session.h"
#include "windows_text.h"

#include <asio/steady_timer.hpp>
#include <asio/windows/overlapped_ptr.hpp>
#include <asio/windows/stream_handle.hpp>

#include <windows.h>
// These need windows.h first.
#include <sddl.h>

#include <algorithm>
#include <cstdlib>

namespace service {

const bool kEndpointHasGroup = false;
const char* const kDefaultEndpointGroup = "";

namespace {

using Pipe = asio::windows::stream_handle;

// Who may use the pipe: SYSTEM and Administrators everything; interactive users may read and
// write, that is connect and send requests, but not make instances of the pipe (which would let
// them serve its name themselves).
constexpr const wchar_t* kPipeSecurity = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12008b;;;IU)";

// The pipe's security descriptor, made once.
SECURITY_ATTRIBUTES* pipe_security() {
    static SECURITY_ATTRIBUTES attributes = [] {
        SECURITY_ATTRIBUTES made{};
        made.nLength = sizeof made;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1, &made.lpSecurityDescriptor,
                                                             nullptr);
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

// The account a token belongs to, as DOMAIN\name.
std::string account_of(HANDLE token) {
    alignas(TOKEN_USER) unsigned char buffer[256];
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
        return "?";
    }
    wchar_t name[256];
    wchar_t domain[256];
    DWORD name_size = 256;
    DWORD domain_size = 256;
    SID_NAME_USE use{};
    if (!LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, name, &name_size, domain,
                           &domain_size, &use)) {
        return "?";
    }
    return platform::to_utf8(std::wstring(domain) + L"\\" + name);
}

std::string describe_client(Pipe& pipe) {
    ULONG process = 0;
    GetNamedPipeClientProcessId(pipe.native_handle(), &process);
    std::string user = "?";
    if (ImpersonateNamedPipeClient(pipe.native_handle())) {
        HANDLE token = nullptr;
        if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
            user = account_of(token);
            CloseHandle(token);
        }
        // Going on as the client would lend the client the service's rights to nothing it chose.
        if (!RevertToSelf()) {
            std::abort();
        }
    }
    return "user " + user + ", process " + std::to_string(process);
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
                std::make_shared<Session<Pipe>>(std::move(*pipe), server, &describe_client)->start();
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

// A name for the machine-wide object that marks an endpoint as served: object names may hold no
// backslash.
std::wstring instance_object_name(const std::string& name) {
    std::wstring served = platform::to_wide(name);
    std::replace(served.begin(), served.end(), L'\\', L'/');
    return L"Global\\kav_morv_led_service." + served;
}

}  // namespace

std::unique_ptr<Listener> claim_endpoint(asio::io_context& io, const std::string& name, const std::string&,
                                         std::string& why_not) {
    const std::wstring pipe_name = platform::to_wide(endpoint::address(name));
    if (name.empty() || pipe_name.empty() || name.size() > 200) {
        why_not = "a pipe name must be 1 to 200 characters of UTF-8";
        return nullptr;
    }
    if (pipe_security() == nullptr) {
        why_not = "the pipe's security descriptor cannot be made: " + platform::system_message(GetLastError());
        return nullptr;
    }
    // The pipe's first-instance flag is what stops another process on Windows; this object is what
    // a second instance of the service sees wherever that flag is not enforced.
    const HANDLE instance_mutex = CreateMutexW(nullptr, FALSE, instance_object_name(name).c_str());
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
        why_not = error == ERROR_ACCESS_DENIED ? "another program already serves it" : platform::system_message(error);
        CloseHandle(instance_mutex);
        return nullptr;
    }
    return std::make_unique<PipeListener>(io, pipe_name, instance_mutex, first);
}

}  // namespace service
