// What the service core's tests share: a moment to start from, owners, and requests read as the
// protocol reads them.
#pragma once

#include "client.h"
#include "indications.h"
#include "request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace core_fixtures {

using namespace std::chrono_literals;
using service::Time;

inline const Time t0 = Time{} + 1h;
inline const service::Owner alice{"1000", "alice"};
inline const service::Owner bob{"1001", "bob"};

// Picks the indications of the owner with this id, for Indications::clear.
inline auto owned_by(const std::string& id) {
    return [id](const service::Owner& owner) { return owner.id == id; };
}

// A request as the protocol would read it, from a line.
inline protocol::Request request(const std::string& line) {
    protocol::Parsed parsed = protocol::parse_request(line);
    EXPECT_TRUE(parsed.request) << line << ": " << parsed.error;
    return parsed.request.value_or(protocol::Request{});
}

}  // namespace core_fixtures
