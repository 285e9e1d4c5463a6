// The service's side of its endpoint: claims it for this process alone and hands each connection
// to the server. One implementation per system.
#pragma once

#include <asio/io_context.hpp>

#include <memory>
#include <string>

namespace service {

class Server;

class Listener {
public:
    virtual ~Listener() = default;
    // Starts handing each new connection to the server as a session.
    virtual void serve(Server& server) = 0;
    // Stops listening and gives the endpoint up.
    virtual void close() = 0;
};

// Whether clients are let in by a group (POSIX: the socket's folder and file belong to it), which
// the command line then names. Windows' pipe lets in SYSTEM, Administrators and interactive users.
extern const bool kEndpointHasGroup;

// Why a name cannot be an endpoint on this system; empty when it can.
std::string endpoint_refusal(const std::string& name);

// Claims the endpoint: null, with why, when another instance of the service serves it or it cannot
// be made. Nothing else is touched then, so a second instance leaves the first one's LED alone.
std::unique_ptr<Listener> claim_endpoint(asio::io_context& io, const std::string& name, const std::string& group,
                                         std::string& why_not);

}  // namespace service
