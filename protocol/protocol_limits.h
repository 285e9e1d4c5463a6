// Every number of the protocol that a client or the service must know (docs/protocol.md).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace protocol {

// A request line, without its line feed (and without a carriage return before it).
constexpr std::size_t kMaxLineBytes = 1024;
// What a request may ask.
constexpr std::size_t kMaxPatternSteps = 1024;
constexpr std::uint32_t kMaxStepMs = 3'600'000;     // an hour
constexpr std::uint32_t kMaxForMs = 2'147'483'647;  // about 24 days
constexpr std::uint32_t kMaxCycles = 1'000'000;
constexpr std::size_t kMaxNameBytes = 64;
constexpr std::size_t kMaxOwnerBytes = 256;
constexpr std::uint8_t kDefaultPriority = 100;
constexpr const char* kDefaultName = "default";
constexpr std::uint32_t kDefaultBlinkMs = 500;

// What the service holds for everyone together and for each user (uid, or SID on Windows).
constexpr std::size_t kMaxIndications = 1024;
constexpr std::size_t kMaxIndicationsPerOwner = 256;
constexpr std::size_t kMaxStepsInForce = 4096;  // a steady colour is one step, a blink two
constexpr std::size_t kMaxStepsPerOwner = 1024;
constexpr std::size_t kMaxConnections = 512;
constexpr std::size_t kMaxConnectionsPerUser = 32;  // root, SYSTEM and Administrators: no limit of their own
constexpr std::size_t kMaxWatchers = 64;            // connections that watch, among those
constexpr std::size_t kMaxWatchersPerUser = 8;      // root, SYSTEM and Administrators: no limit of their own
constexpr std::size_t kWatchersKeptForPrivileged = 8;  // the last of the 64, for root, SYSTEM and Administrators
// Events queued for a watcher that does not read them: past this it is cut off, never waited for.
constexpr std::size_t kMaxQueuedEventBytes = std::size_t{64} * 1024;

// How long the service waits for a client, and for the LED on a client's behalf.
constexpr std::chrono::seconds kUnfinishedLineLimit{5};
constexpr std::chrono::seconds kIdleLimit{60};
constexpr std::chrono::milliseconds kReadBackWait{250};  // then status says read_back null
// Status replies are made at most this often, each shared by every status asked meanwhile: a
// flood of them costs the service one reply's making per period, whoever asks.
constexpr std::chrono::milliseconds kStatusSpacing{10};

}  // namespace protocol
