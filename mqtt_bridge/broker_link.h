// The bridge's session with its MQTT broker, on libmosquitto, on a thread of its own which alone
// touches the library and sleeps until the session's socket, another thread or a deadline wakes it.
// It connects, and connects again with backoff when the broker is unreachable, refuses, never
// answers or is lost, saying so with the broker's reason (once, with its likely cause, when another
// client keeps taking the session over); leaves a last will; subscribes, saying which subscription
// the broker refused; and publishes. Other threads hand it what to publish, sent at once; a
// topic's later message replaces an earlier one not yet sent.
#pragma once

#include "broker_tls.h"
#include "line_log.h"
#include "reconnecting.h"
#include "settings.h"
#include "socket_wait.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace bridge {

class BrokerLink {
public:
    struct Options {
        BrokerAddress address;
        TlsFiles tls_files;
        std::string user, password;
        std::string client_id;   // empty: one the library makes up
        std::string will_topic;  // gets "offline", retained, when the broker loses the bridge; empty: no will
    };
    struct Callbacks {
        // (Re)connected: subscribe, and publish everything again. On the broker's thread.
        std::function<void()> connected;
        // The broker has answered every subscription of this connection; `refused` are those it
        // refused (an ACL that denies them, say). On the broker's thread.
        std::function<void(const std::vector<std::string>& refused)> subscribed;
        // A message on a subscribed topic. On the broker's thread.
        std::function<void(const std::string& topic, std::string_view payload, bool retained)> message;
        // The session cannot go on (the library failed): the bridge should end, and be restarted.
        std::function<void(const std::string& why)> failed;
    };
    struct Message {
        std::string topic;
        std::string payload;
        bool retain;
    };

    BrokerLink(Options options, Callbacks callbacks);
    BrokerLink(const BrokerLink&) = delete;
    BrokerLink& operator=(const BrokerLink&) = delete;
    ~BrokerLink();

    // Makes the session and starts its thread; false, with why, when the options cannot be used
    // (mqtts where this build has no TLS, files that cannot be used, a user the library refuses).
    bool start(std::string& why_not);
    // Publishes, at QoS 1, at once if connected, else once it is. From any thread.
    void publish(const std::string& topic, std::string payload, bool retain);
    // Subscribes, at QoS 1. From the broker's thread (the connected callback).
    void subscribe(const std::string& topic);
    // Publishes `last` if connected, waits until the broker has taken them all or `until` comes,
    // disconnects and ends the thread. False when the broker did not take them all (or was not
    // there: the last will speaks for a bridge that was connected).
    bool finish(const std::vector<Message>& last, std::chrono::steady_clock::time_point until);

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { waiting, connecting, connected };
    void loop();
    void connect(Clock::time_point now);
    void give_up_connecting();
    void run_library();
    void send_waiting();
    void send_last();
    void finished(bool well);
    void ended(int result);
    void try_again(std::chrono::seconds wait, const std::string& news);
    Clock::time_point wake_at() const;
    // What the library says of a result, or the system of its error number.
    static std::string said(int result);
    static void on_connect(mosquitto*, void* self, int result);
    static void on_disconnect(mosquitto*, void* self, int result);
    static void on_subscribe(mosquitto*, void* self, int message_id, int count, const int* granted);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message);
    static void on_publish(mosquitto*, void* self, int message_id);
    static void on_log(mosquitto*, void* self, int level, const char* line);

    Options options_;
    Callbacks callbacks_;
    mosquitto* session_ = nullptr;
    SocketWait wait_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};

    std::mutex mutex_;
    std::map<std::string, Message> waiting_;  // by topic
    std::vector<Message> last_;               // finish()'s
    bool finishing_ = false;
    bool finished_ = false;  // the broker took finish()'s messages, or could not
    bool finished_well_ = false;
    std::condition_variable finished_changed_;

    // The broker's thread's own.
    Phase phase_ = Phase::waiting;
    bool tried_ = false;  // once, the host and port are the session's, and reconnecting takes them
    Reconnecting reconnecting_;
    Clock::time_point retry_at_{};
    Clock::time_point connack_by_{};
    Clock::time_point keepalive_check_{};
    std::map<int, std::string> subscribing_;  // by message id, until the broker answers
    std::vector<std::string> refused_;
    bool last_sent_ = false;
    std::set<int> unacknowledged_;  // finish()'s messages, by message id
    bool disconnect_now_ = false;   // the broker took them all
    // What may repeat for as long as the broker is away, or others send what cannot be sent on.
    program_support::RationedLog rationed_;
};

}  // namespace bridge
