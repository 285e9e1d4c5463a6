#include "broker.h"

#include "broker_tls.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

namespace bridge {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kKeepAliveS = 60;
constexpr int kTurnMs = 100;  // the longest a message handed to the thread waits to be sent
constexpr int kMostRetryS = 30;

// What the library says of a result, or the system of its error number.
std::string said(int result) {
    return result == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(result);
}

void init_library_once() {
    static const bool done = (mosquitto_lib_init(), true);
    static_cast<void>(done);
}

}  // namespace

Broker::Broker(Options options, Callbacks callbacks) : options_(std::move(options)), callbacks_(std::move(callbacks)) {}

Broker::~Broker() {
    if (thread_.joinable()) {
        stopping_ = true;
        wake_.notify_all();
        thread_.join();
    }
    if (session_ != nullptr) {
        mosquitto_destroy(session_);
    }
}

bool Broker::start(std::string& why_not) {
    init_library_once();
    session_ = mosquitto_new(options_.client_id.c_str(), true, this);
    if (session_ == nullptr) {
        why_not = std::string("cannot make an MQTT session: ") + std::strerror(errno);
        return false;
    }
    mosquitto_int_option(session_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // A state is a small message that should leave at once, not wait for the last one's ack.
    mosquitto_int_option(session_, MOSQ_OPT_TCP_NODELAY, 1);
    if (!options_.user.empty()) {
        mosquitto_username_pw_set(session_, options_.user.c_str(),
                                  options_.password.empty() ? nullptr : options_.password.c_str());
    }
    if (options_.tls && !use_tls(session_, options_.tls_files, why_not)) {
        return false;
    }
    mosquitto_will_set(session_, options_.will_topic.c_str(), 7, "offline", 1, true);
    mosquitto_connect_callback_set(session_, on_connect);
    mosquitto_disconnect_callback_set(session_, on_disconnect);
    mosquitto_message_callback_set(session_, on_message);
    mosquitto_publish_callback_set(session_, on_publish);
    mosquitto_log_callback_set(session_, on_log);
    thread_ = std::thread([this] { loop(); });
    return true;
}

void Broker::publish(const std::string& topic, std::string payload, bool retain) {
    const std::lock_guard<std::mutex> guard(mutex_);
    waiting_[topic] = {std::move(payload), retain};
}

void Broker::subscribe(const std::string& topic) {
    mosquitto_subscribe(session_, nullptr, topic.c_str(), 1);
}

void Broker::loop() {
    try {
        while (!stopping_) {
            if (!connected_ && !connecting_ && Clock::now() >= retry_at_) {
                connect();
            }
            if (connected_ || connecting_) {
                const int result = mosquitto_loop(session_, kTurnMs, 1);
                if (result == MOSQ_ERR_NOMEM || result == MOSQ_ERR_INVAL) {
                    callbacks_.failed("the MQTT library failed: " + said(result));
                    return;
                }
                if (result != MOSQ_ERR_SUCCESS && connecting_ && !connected_) {
                    on_disconnect(session_, this, result);  // the connection never came about
                }
            } else {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait_until(lock, std::min(retry_at_, Clock::now() + std::chrono::milliseconds(kTurnMs)),
                                 [this] { return stopping_.load(); });
            }
            send_waiting();
        }
    } catch (const std::exception& error) {
        callbacks_.failed(std::string("the broker's thread failed: ") + error.what());
    }
}

void Broker::connect() {
    connecting_ = true;
    const int result = tried_ ? mosquitto_reconnect_async(session_)
                              : mosquitto_connect_async(session_, options_.host.c_str(), options_.port, kKeepAliveS);
    tried_ = true;
    if (result != MOSQ_ERR_SUCCESS) {
        connecting_ = false;
        callbacks_.say("cannot reach the broker at " + options_.host + ":" + std::to_string(options_.port) + " (" +
                       said(result) + "); trying again in " + std::to_string(retry_s_) + " s");
        retry_at_ = Clock::now() + std::chrono::seconds(retry_s_);
        retry_s_ = std::min(retry_s_ * 2, kMostRetryS);
    }
}

void Broker::send_waiting() {
    if (!connected_) {
        return;
    }
    std::map<std::string, Message> sending;
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        sending.swap(waiting_);
    }
    for (const auto& [topic, message] : sending) {
        mosquitto_publish(session_, nullptr, topic.c_str(), static_cast<int>(message.payload.size()),
                          message.payload.data(), 1, message.retain);
    }
}

void Broker::stop(const std::string& last_topic, const std::string& last, int within_ms) {
    if (!thread_.joinable()) {
        return;
    }
    stopping_ = true;
    wake_.notify_all();
    thread_.join();
    // The library is this thread's alone now.
    if (!connected_) {
        return;  // the last will says it
    }
    send_waiting();
    mosquitto_publish(session_, &last_message_id_, last_topic.c_str(), static_cast<int>(last.size()), last.data(), 1,
                      true);
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(within_ms);
    while (!last_sent_ && connected_ && Clock::now() < until) {
        mosquitto_loop(session_, kTurnMs, 1);
    }
    mosquitto_disconnect(session_);
    mosquitto_loop(session_, kTurnMs, 1);
}

void Broker::on_connect(mosquitto*, void* self, int result) {
    auto& broker = *static_cast<Broker*>(self);
    broker.connecting_ = false;
    const std::string where = broker.options_.host + ":" + std::to_string(broker.options_.port);
    if (result != 0) {
        const bool credentials = result == 4 || result == 5;  // bad user name or password; not authorised
        broker.callbacks_.say("the broker at " + where + " refused the connection: " + mosquitto_connack_string(result) +
                              (credentials ? " (check the user and password it was given)" : "") +
                              "; trying again in " + std::to_string(broker.retry_s_) + " s");
        broker.retry_at_ = Clock::now() + std::chrono::seconds(broker.retry_s_);
        broker.retry_s_ = std::min(broker.retry_s_ * 2, kMostRetryS);
        mosquitto_disconnect(broker.session_);
        return;
    }
    broker.connected_ = true;
    broker.retry_s_ = 1;
    broker.callbacks_.say("connected to the broker at " + where);
    broker.callbacks_.connected();
}

void Broker::on_disconnect(mosquitto*, void* self, int result) {
    auto& broker = *static_cast<Broker*>(self);
    const bool was_connected = broker.connected_;
    const bool was_connecting = broker.connecting_;
    broker.connected_ = false;
    broker.connecting_ = false;
    if (broker.stopping_ || result == 0) {
        return;  // asked for, or after a refusal already said
    }
    const std::string where = broker.options_.host + ":" + std::to_string(broker.options_.port);
    if (was_connected) {
        broker.callbacks_.say("lost the broker at " + where + " (" + said(result) + "); connecting again in " +
                              std::to_string(broker.retry_s_) + " s");
    } else if (was_connecting) {
        broker.callbacks_.say("cannot reach the broker at " + where + " (" + said(result) + "); trying again in " +
                              std::to_string(broker.retry_s_) + " s");
    }
    broker.retry_at_ = Clock::now() + std::chrono::seconds(broker.retry_s_);
    broker.retry_s_ = std::min(broker.retry_s_ * 2, kMostRetryS);
}

void Broker::on_message(mosquitto*, void* self, const mosquitto_message* message) {
    auto& broker = *static_cast<Broker*>(self);
    broker.callbacks_.message(message->topic,
                              std::string_view(static_cast<const char*>(message->payload),
                                               static_cast<std::size_t>(std::max(message->payloadlen, 0))),
                              message->retain);
}

void Broker::on_log(mosquitto*, void* self, int level, const char* line) {
    // Its errors say what the result codes do not: why a TLS handshake failed.
    if (level == MOSQ_LOG_ERR) {
        static_cast<Broker*>(self)->callbacks_.say(std::string("the MQTT library: ") + line);
    }
}

void Broker::on_publish(mosquitto*, void* self, int message_id) {
    auto& broker = *static_cast<Broker*>(self);
    if (broker.stopping_ && message_id == broker.last_message_id_) {
        broker.last_sent_ = true;
    }
}

}  // namespace bridge
