// Every connection the service has open, counted for the user on the other end. It owns them: the
// service closes them all before the server they use goes, as it stops. Those that watch are told
// each change.
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
        // Writes the reply to the request being answered, and goes on to the next.
        virtual void reply(const std::string& line) = 0;
        // Writes `ok` as the reply, and from then on only events.
        virtual void start_watching(const std::string& ok) = 0;
        // Writes an event, after those not yet written; a watcher that lets too many wait is cut off.
        virtual void deliver(const std::string& line) = 0;
        // Closes the connection; what it has in progress ends with an error.
        virtual void close() = 0;
    };

    // Takes `member` in for `client`; false, with why for the client, when the limits allow no more.
    bool admit(const std::shared_ptr<Member>& member, const Client& client, std::string& refusal) {
        const bool counted = !client.privileged;
        if (closed_ || members_.size() >= protocol::kMaxConnections) {
            refusal =
                "too many connections (at most " + std::to_string(protocol::kMaxConnections) + "); try again later";
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
        members_[member.get()] = {member, counted ? client.owner.id : std::string(), false};
        return true;
    }

    // Has `member` watch; false, with why, when as many watch as may.
    bool watch(const Member* member, std::string& refusal) {
        const auto found = members_.find(member);
        if (found == members_.end() || watchers_ >= protocol::kMaxWatchers) {
            refusal = "too many watchers (at most " + std::to_string(protocol::kMaxWatchers) + "); try again later";
            return false;
        }
        found->second.watching = true;
        ++watchers_;
        return true;
    }

    // Tells every watcher.
    void broadcast(const std::string& line) {
        // A watcher cut off meanwhile leaves the set: deliver to a copy.
        std::map<const Member*, Entry> watching;
        for (const auto& [key, entry] : members_) {
            if (entry.watching) {
                watching.emplace(key, entry);
            }
        }
        for (const auto& [key, entry] : watching) {
            entry.member->deliver(line);
        }
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
        watchers_ -= found->second.watching ? 1 : 0;
        members_.erase(found);
    }

    // Closes every connection, and admits no more.
    void close_all() {
        closed_ = true;
        std::map<const Member*, Entry> closing;
        closing.swap(members_);
        per_user_.clear();
        watchers_ = 0;
        for (auto& [key, entry] : closing) {
            entry.member->close();
        }
    }

private:
    struct Entry {
        std::shared_ptr<Member> member;
        std::string counted_for;  // the user it counts for; empty for one whose connections are not capped
        bool watching;
    };
    std::map<const Member*, Entry> members_;
    std::map<std::string, std::size_t> per_user_;
    std::size_t watchers_ = 0;
    bool closed_ = false;
};

}  // namespace service
