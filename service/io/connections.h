// Every connection the service has open, counted for the user on the other end. It owns them: the
// service closes them all before the server they use goes, as it stops.
#pragma once

#include "client.h"
#include "protocol_limits.h"

#include <cstddef>
#include <map>
#include <memory>
#include <string>

namespace service {

class Connections {
public:
    class Member {
    public:
        virtual ~Member() = default;
        // Closes the connection; what it has in progress ends with an error.
        virtual void close() = 0;
    };

    // Takes `member` in for `client`; false, with why for the client, when the limits allow no more.
    bool admit(const std::shared_ptr<Member>& member, const Client& client, std::string& refusal) {
        const bool counted = !client.privileged;
        if (closed_ || members_.size() >= protocol::kMaxConnections) {
            refusal = "too many connections (at most " + std::to_string(protocol::kMaxConnections) +
                      "); try again later";
            return false;
        }
        if (counted && per_user_[client.owner.id] >= protocol::kMaxConnectionsPerUser) {
            refusal = "too many connections of yours (at most " + std::to_string(protocol::kMaxConnectionsPerUser) +
                      " for each user); close one first";
            return false;
        }
        if (counted) {
            ++per_user_[client.owner.id];
        }
        members_[member.get()] = {member, counted ? client.owner.id : std::string()};
        return true;
    }

    // Lets go of a member that has closed; nothing if it is not one (any more).
    void remove(const Member* member) {
        const auto found = members_.find(member);
        if (found == members_.end()) {
            return;
        }
        if (!found->second.counted_for.empty() && --per_user_[found->second.counted_for] == 0) {
            per_user_.erase(found->second.counted_for);
        }
        members_.erase(found);
    }

    // Closes every connection, and admits no more.
    void close_all() {
        closed_ = true;
        std::map<const Member*, Entry> closing;
        closing.swap(members_);
        per_user_.clear();
        for (auto& [key, entry] : closing) {
            entry.member->close();
        }
    }

private:
    struct Entry {
        std::shared_ptr<Member> member;
        std::string counted_for;  // the user it counts for; empty for one whose connections are not capped
    };
    std::map<const Member*, Entry> members_;
    std::map<std::string, std::size_t> per_user_;
    bool closed_ = false;
};

}  // namespace service
