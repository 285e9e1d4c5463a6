// The bridge's session with the MQTT broker, on libmosquitto, on a thread of its own which alone
// touches the library: connects, and connects again with backoff when the broker is unreachable,
// refuses or is lost, saying so with the broker's reason; leaves a last will; subscribes and
// publishes. Other threads hand it what to publish, and it is sent within the thread's next turn
// (at most 100 ms); a topic's later message replaces an earlier one not yet sent.
#pragma once

#include "broker_tls.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace bridge {

class Broker {
public:
    struct Options {
        std::string host;
        int port = 1883;
        bool tls = false;
        TlsFiles tls_files;
        std::string user, password;
        std::string client_id;
        std::string will_topic;  // gets "offline", retained, when the broker loses the bridge
    };
    struct Callbacks {
        // (Re)connected: subscribe, and publish everything again. On the broker's thread.
        std::function<void()> connected;
        // A message on a subscribed topic. On the broker's thread.
        std::function<void(const std::string& topic, std::string_view payload, bool retained)> message;
        std::function<void(const std::string& line)> say;
        // The session cannot go on (the library failed): the bridge should end, and be restarted.
        std::function<void(const std::string& why)> failed;
    };

    Broker(Options options, Callbacks callbacks);
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;
    ~Broker();

    // Makes the session and starts its thread; false, with why, when the options cannot be used
    // (mqtts where this build has no TLS, a CA file that is not there).
    bool start(std::string& why_not);
    // Publishes, at QoS 1, soon. From any thread.
    void publish(const std::string& topic, std::string payload, bool retain);
    // Subscribes, at QoS 1. From the broker's thread (the connected callback).
    void subscribe(const std::string& topic);
    // Publishes `last` (the availability's "offline"), waits at most `within_ms` for the broker
    // to take it, disconnects and ends the thread.
    void stop(const std::string& last_topic, const std::string& last, int within_ms);

private:
    struct Message {
        std::string payload;
        bool retain;
    };
    void loop();
    void connect();
    void send_waiting();
    static void on_connect(mosquitto*, void* self, int result);
    static void on_disconnect(mosquitto*, void* self, int result);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message);
    static void on_publish(mosquitto*, void* self, int message_id);
    static void on_log(mosquitto*, void* self, int level, const char* line);

    Options options_;
    Callbacks callbacks_;
    mosquitto* session_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stopping_{false};

    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::string, Message> waiting_;  // by topic
    int last_message_id_ = 0;                 // of the stop's last message
    bool last_sent_ = false;

    // The broker's thread's own.
    bool connected_ = false;
    bool connecting_ = false;
    bool tried_ = false;  // once, the host and port are the session's, and reconnecting takes them
    int retry_s_ = 1;
    std::chrono::steady_clock::time_point retry_at_{};
};

}  // namespace bridge
