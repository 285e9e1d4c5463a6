// Who may connect and watch, and that what leaves gives its place back: the caps on connections
// and watchers, for each user and for all, with the places kept for privileged users.
#include "connections.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using service::Client;
using service::Connections;

struct Member final : Connections::Member {
    void reply(service::Line) override {}
    void start_watching(service::Line) override {}
    void deliver(service::Line line) override { delivered.push_back(*line); }
    void close() override { closed = true; }
    std::vector<std::string> delivered;
    bool closed = false;
};

Client user(int number, bool privileged = false) {
    return {{std::to_string(number), "user" + std::to_string(number)}, privileged, ""};
}

// Admits a member for `client` and has it watch; the refusal, empty when it watches.
std::string watch_as(Connections& connections, const Client& client, std::vector<std::shared_ptr<Member>>& kept) {
    kept.push_back(std::make_shared<Member>());
    std::string refusal;
    if (!connections.admit(kept.back(), client, refusal) || !connections.watch(kept.back().get(), refusal)) {
        return refusal;
    }
    return "";
}

const std::string kMine = "too many watchers of yours (at most 8 for each user); end one first";
const std::string kAll = "too many watchers (at most 64, the last 8 for root, SYSTEM and Administrators); try again later";

TEST(ConnectionsTest, EachUserAndAllTogetherAreCappedAndWhatLeavesGivesItsPlaceBack) {
    Connections connections;
    std::vector<std::shared_ptr<Member>> kept;
    std::string refusal;
    for (int at = 0; at < 32; ++at) {
        kept.push_back(std::make_shared<Member>());
        ASSERT_TRUE(connections.admit(kept.back(), user(1), refusal)) << at;
    }
    kept.push_back(std::make_shared<Member>());
    EXPECT_FALSE(connections.admit(kept.back(), user(1), refusal));
    EXPECT_EQ(refusal, "too many connections of yours (at most 32 for each user); close one first");
    connections.remove(kept[0].get());
    EXPECT_TRUE(connections.admit(kept.back(), user(1), refusal)) << "the place of one that left";
    for (int at = 0; at < 40; ++at) {
        kept.push_back(std::make_shared<Member>());
        ASSERT_TRUE(connections.admit(kept.back(), user(0, true), refusal)) << "privileged: no cap of their own";
    }
}

TEST(ConnectionsTest, WatchersAreCappedForEachUserWithTheLastPlacesKeptForPrivilegedOnes) {
    struct Asked {
        Client client;
        int count;
        std::vector<std::string> refusals;  // of the last few, in order; the others watch
    };
    const Asked asked[] = {
        {user(1), 9, {kMine}},                                    // 8 of one user's, then no more
        {user(2), 8, {}}, {user(3), 8, {}}, {user(4), 8, {}}, {user(5), 8, {}}, {user(6), 8, {}}, {user(7), 8, {}},
        {user(8), 1, {kAll}},                                     // 56 watch: the rest is kept
        {user(0, true), 9, {kAll}},                               // privileged: the last 8 of the 64
    };
    Connections connections;
    std::vector<std::shared_ptr<Member>> kept;
    for (const Asked& a : asked) {
        SCOPED_TRACE(a.client.owner.name);
        std::vector<std::string> refusals;
        for (int at = 0; at < a.count; ++at) {
            const std::string refusal = watch_as(connections, a.client, kept);
            if (!refusal.empty()) {
                refusals.push_back(refusal);
            }
        }
        EXPECT_EQ(refusals, a.refusals);
    }
    connections.broadcast(service::line_of("event 1"));
    EXPECT_EQ(kept.front()->delivered, std::vector<std::string>{"event 1\n"});
    // Those who leave make room again, for each user and for all.
    for (const std::shared_ptr<Member>& member : kept) {
        connections.remove(member.get());
    }
    for (int number = 1; number <= 8; ++number) {
        for (int at = 0; at < 8; ++at) {
            ASSERT_EQ(watch_as(connections, user(number), kept), number <= 7 ? "" : kAll) << number << " " << at;
        }
    }
    connections.close_all();
    EXPECT_TRUE(kept.back()->closed);
    std::string refusal;
    EXPECT_FALSE(connections.admit(std::make_shared<Member>(), user(9), refusal));
}

}  // namespace
