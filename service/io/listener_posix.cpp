#include "listener.h"

#include "line_log.h"
#include "session.h"

#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace service {

const bool kEndpointHasGroup = true;

namespace {

using Socket = asio::local::stream_protocol::socket;

// The user at the other end, as the kernel saw them connect.
std::optional<Client> identify_client(Socket& socket) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        return std::nullopt;
    }
    passwd entry{};
    passwd* found = nullptr;
    char names[1024];
    const std::string uid = std::to_string(credentials.uid);
    const bool named = getpwuid_r(credentials.uid, &entry, names, sizeof names, &found) == 0 && found != nullptr;
    Client client;
    client.owner = {uid, named ? entry.pw_name : uid};
    client.privileged = credentials.uid == 0;
    client.description = "user " + client.owner.name + " (uid " + uid + "), process " + std::to_string(credentials.pid);
    return client;
}

// After a failed accept (out of descriptors, say), a pause before the next, rather than a spin.
constexpr std::chrono::milliseconds kAcceptRetry{100};

class SocketListener final : public Listener {
public:
    SocketListener(asio::io_context& io, std::string path, int lock_fd)
        : acceptor_(io), retry_(io), path_(std::move(path)), lock_fd_(lock_fd) {}
    ~SocketListener() override { close(); }

    // Makes the socket, for root and `group` alone (root alone with no group).
    bool bind(const std::optional<gid_t>& group, std::string& why_not) {
        asio::error_code error;
        acceptor_.open(asio::local::stream_protocol(), error);
        if (!error) {
            // Made private, then opened to the group: never open to all, not even for a moment.
            const mode_t previous = umask(0077);
            acceptor_.bind(asio::local::stream_protocol::endpoint(path_), error);
            umask(previous);
            bound_ = !error;  // the socket file is this instance's to remove
        }
        if (!error && group &&
            (chown(path_.c_str(), static_cast<uid_t>(-1), *group) != 0 || chmod(path_.c_str(), 0660) != 0)) {
            error = asio::error_code(errno, asio::error::get_system_category());
        }
        if (!error) {
            acceptor_.listen(asio::socket_base::max_listen_connections, error);
        }
        why_not = error.message();
        return !error;
    }

    void serve(Server& server) override {
        acceptor_.async_accept([this, &server](const asio::error_code& error, Socket socket) {
            if (!open()) {
                return;
            }
            if (error) {
                retry_.expires_after(kAcceptRetry);
                retry_.async_wait([this, &server](const asio::error_code&) {
                    if (open()) {
                        serve(server);
                    }
                });
                return;
            }
            std::make_shared<Session<Socket>>(std::move(socket), server, &identify_client)->start();
            serve(server);
        });
    }

    void close() override {
        if (!open()) {
            return;
        }
        asio::error_code ignored;
        acceptor_.close(ignored);
        // The socket file is this instance's: clients then learn at once that nothing serves it.
        if (bound_) {
            unlink(path_.c_str());
        }
        ::close(lock_fd_);
        lock_fd_ = -1;
    }

private:
    bool open() const { return lock_fd_ >= 0; }

    asio::local::stream_protocol::acceptor acceptor_;
    asio::steady_timer retry_;
    std::string path_;
    int lock_fd_;
    bool bound_ = false;
};

std::string folder_of(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string(slash == 0 ? "/" : ".") : path.substr(0, slash);
}

std::optional<gid_t> group_named(const std::string& name) {
    group entry{};
    group* found = nullptr;
    char names[4096];
    if (getgrnam_r(name.c_str(), &entry, names, sizeof names, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    return entry.gr_gid;
}

}  // namespace

std::string endpoint_refusal(const std::string& name) {
    if (name.empty() || name.size() >= sizeof(sockaddr_un::sun_path)) {
        return "a socket path must be 1 to " + std::to_string(sizeof(sockaddr_un::sun_path) - 1) + " bytes";
    }
    return "";
}

std::unique_ptr<Listener> claim_endpoint(asio::io_context& io, const std::string& name, const std::string& group,
                                         std::string& why_not) {
    why_not = endpoint_refusal(name);
    if (!why_not.empty()) {
        return nullptr;
    }
    const std::optional<gid_t> group_id = group_named(group);
    if (!group_id) {
        program_support::log("there is no group " + group + ": only root may use the socket");
    }
    // A folder the service makes is the group's too; one that was there already (the service
    // manager's, or an administrator's) is left as it is.
    const std::string folder = folder_of(name);
    if (mkdir(folder.c_str(), 0700) == 0) {
        if (group_id &&
            (chown(folder.c_str(), static_cast<uid_t>(-1), *group_id) != 0 || chmod(folder.c_str(), 0750) != 0)) {
            why_not = "its folder " + folder + " cannot be given to the group: " + std::strerror(errno);
            return nullptr;
        }
    } else if (errno != EEXIST) {
        why_not = "its folder " + folder + " cannot be made: " + std::strerror(errno);
        return nullptr;
    }
    // The instance that holds this lock owns the socket path: it may remove a socket there, which
    // then can only be one left by an instance that died.
    const std::string lock_path = name + ".lock";
    const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int lock_fd = open(lock_path.c_str(), flags | O_CREAT | O_EXCL, 0600);
    const bool made_lock = lock_fd >= 0;
    if (!made_lock && errno == EEXIST) {
        lock_fd = open(lock_path.c_str(), flags);
    }
    if (lock_fd < 0) {
        why_not = lock_path + " cannot be opened: " + std::strerror(errno);
        return nullptr;
    }
    // A refusal leaves behind no lock file of this instance's making.
    const auto refuse = [&](const std::string& why) {
        why_not = why;
        if (made_lock) {
            unlink(lock_path.c_str());
        }
        ::close(lock_fd);
        return nullptr;
    };
    if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            why_not = "another instance of the service already serves it";
            ::close(lock_fd);
            return nullptr;
        }
        return refuse(lock_path + " cannot be locked: " + std::strerror(errno));
    }
    struct stat status {};
    if (lstat(name.c_str(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode)) {
            return refuse("something that is not a socket is at its path; it is left as it is");
        }
        unlink(name.c_str());  // left by an instance that ended without removing it
    }
    auto listener = std::make_unique<SocketListener>(io, name, lock_fd);
    if (!listener->bind(group_id, why_not)) {
        if (made_lock) {
            unlink(lock_path.c_str());
        }
        return nullptr;  // the listener closes the lock
    }
    return listener;
}

}  // namespace service
