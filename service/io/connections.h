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

// A line written to connections, with its line feed: one copy, however many it is written to (a
// status reply to all who asked it at once, an event to every watcher).
using Line = std::shared_ptr<const std::string>;

inline Line line_of(std::string text) {
    text += '\n';
    return std::make_shared<const std::string>(std::move(text));
}

class Connections {
public:
    class Member {
    public:
        virtual ~Member() = default;
        // Writes the reply to the request being answered, and goes on to the next.
        virtual void reply(Line line) = 0;
        // Writes `ok` as the reply, and from then on only events.
        virtual void start_watching(Line ok) = 0;
        // Writes an event, after those not yet written; a watcher that lets too many wait is cut off.
        virtual void deliver(Line line) = 0;
        // Closes the connection; what it has in progress ends with an error.
        virtual void close() = 0;
    };

    // Takes `member` in for `client`; false, with why for the client, when the limits allow no more.
    bool admit(const std::shared_ptr<Member>& member, const Client& client, std::string& refusal) {
        if (closed_ || members_.size() >= protocol::kMaxConnections) {
            refusal =
                "too many connections (at most " + std::to_string(protocol::kMaxConnections) + "); try again later";
            return false;
        }
        Usage& usage = per_user_[client.owner.id];
        if (!client.privileged && usage.connections >= protocol::kMaxConnectionsPerUser) {
            forget_if_unused(client.owner.id);
            refusal = "too many connections of yours (at most " + std::to_string(protocol::kMaxConnectionsPerUser) +
                      " for each user); close one first";
            return false;
        }
        ++usage.connections;
        members_[member.get()] = {member, client.owner.id, client.privileged, false};
        return true;
    }

    // Has `member` watch; false, with why, when as many watch as may: 64 in all, the last few kept
    // for root, SYSTEM and Administrators, and a few of each other user's.
    bool watch(const Member* member, std::string& refusal) {
        const auto found = members_.find(member);
        if (found == members_.end()) {
            refusal = "the connection is closing";
            return false;
        }
        Entry& entry = found->second;
        Usage& usage = per_user_[entry.user];
        const std::size_t open_to_all = protocol::kMaxWatchers - protocol::kWatchersKeptForPrivileged;
        if (watchers_ >= (entry.privileged ? protocol::kMaxWatchers : open_to_all)) {
            refusal = "too many watchers (at most " + std::to_string(protocol::kMaxWatchers) + ", the last " +
                      std::to_string(protocol::kWatchersKeptForPrivileged) +
                      " for root, SYSTEM and Administrators); try again later";
            return false;
        }
        if (!entry.privileged && usage.watchers >= protocol::kMaxWatchersPerUser) {
            refusal = "too many watchers of yours (at most " + std::to_string(protocol::kMaxWatchersPerUser) +
                      " for each user); end one first";
            return false;
        }
        entry.watching = true;
        ++usage.watchers;
        ++watchers_;
        return true;
    }

    // Whether any connection watches.
    bool watched() const { return watchers_ > 0; }

    // Tells every watcher.
    void broadcast(const Line& line) {
        // A watcher cut off meanwhile leaves the set: deliver to a copy.
        std::map<const Member*, std::shared_ptr<Member>> watching;
        for (const auto& [key, entry] : members_) {
            if (entry.watching) {
                watching.emplace(key, entry.member);
            }
        }
        for (const auto& [key, member] : watching) {
            member->deliver(line);
        }
    }

    // Lets go of a member that has closed; nothing if it is not one (any more).
    void remove(const Member* member) {
        const auto found = members_.find(member);
        if (found == members_.end()) {
            return;
        }
        Usage& usage = per_user_[found->second.user];
        --usage.connections;
        if (found->second.watching) {
            --usage.watchers;
            --watchers_;
        }
        forget_if_unused(found->second.user);
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
        std::string user;  // the id of the user it counts for
        bool privileged;
        bool watching;
    };
    struct Usage {
        std::size_t connections = 0;
        std::size_t watchers = 0;
    };
    void forget_if_unused(const std::string& user) {
        const auto found = per_user_.find(user);
        if (found != per_user_.end() && found->second.connections == 0) {
            per_user_.erase(found);
        }
    }

    std::map<const Member*, Entry> members_;
    std::map<std::string, Usage> per_user_;
    std::size_t watchers_ = 0;
    bool closed_ = false;
};

}  // namespace service
