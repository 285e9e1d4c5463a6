// The triggers program's side of the LED service, through the protocol like any client: requests
// carried out one at a time on a thread of their own, over a connection kept open between them.
// Of the requests for one name not yet carried out, only the latest is: a set and then a clear is
// a clear. A service that is away, or answers an error, is said once, not at every renewal.
#pragma once

#include "endpoint.h"
#include "latest_work.h"
#include "request.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace triggers {

class LedLink {
public:
    explicit LedLink(std::string endpoint);
    LedLink(const LedLink&) = delete;
    LedLink& operator=(const LedLink&) = delete;

    void start();
    // Asks for `request` soon.
    void ask(const protocol::Request& request);
    // Carries out what waits and ends the thread, waiting at most `within`. False when the service
    // did not answer in time: the thread is left to end by itself, and this object must then never
    // be destroyed.
    bool stop_within(std::chrono::milliseconds within);

private:
    struct Asks {
        std::vector<protocol::Request> requests;
        bool empty() const { return requests.empty(); }
    };
    void carry_out(const protocol::Request& request);
    // The service's reply line to `line`, over the kept connection or a new one; false, with why,
    // when none came.
    bool exchange(const std::string& line, std::string& reply, std::string& why_not);

    std::string endpoint_;
    endpoint::Connection service_;  // the link's thread's alone
    bool open_ = false;
    bool away_ = false;
    std::map<std::string, std::string> refused_;  // each name's last refusal, said once
    program_support::LatestWork<Asks> work_{[this](Asks& asks) {
        for (const protocol::Request& request : asks.requests) {
            carry_out(request);
        }
    }};
};

}  // namespace triggers
