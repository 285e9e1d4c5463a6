#include "broker_link.h"

#include "light.h"
#include "system.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <stdexcept>

namespace bridge {
namespace {

constexpr int kKeepAliveS = 60;
// The library is given a turn at least this often while connected, to ping within the keepalive:
// the broker gives up on a client it has not heard from in 1.5 keepalives.
constexpr std::chrono::seconds kKeepAliveCheck{kKeepAliveS / 3};
// A broker that takes a connection but sends no CONNACK is given up on after this.
constexpr std::chrono::seconds kConnackWithin{10};
constexpr int kSubscriptionRefused = 0x80;
// The most packets read in one turn of the thread, before it looks at what else it has to do.
constexpr int kPacketsPerTurn = 256;

void init_library_once() {
    static const bool done = (mosquitto_lib_init(), true);
    static_cast<void>(done);
}

}  // namespace

BrokerLink::BrokerLink(Options options, Callbacks callbacks)
    : options_(std::move(options)), callbacks_(std::move(callbacks)) {}

BrokerLink::~BrokerLink() {
    if (thread_.joinable()) {
        stopping_ = true;
        wait_.wake();
        thread_.join();
    }
    if (session_ != nullptr) {
        mosquitto_destroy(session_);
    }
}

std::string BrokerLink::said(int result) {
    return result == MOSQ_ERR_ERRNO ? error_text(errno) : mosquitto_strerror(result);
}

bool BrokerLink::start(std::string& why_not) {
    init_library_once();
    session_ = mosquitto_new(options_.client_id.empty() ? nullptr : options_.client_id.c_str(), true, this);
    if (session_ == nullptr) {
        why_not = "cannot make an MQTT session: " + error_text(errno);
        return false;
    }
    mosquitto_int_option(session_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // A state is a small message that should leave at once, not wait for the last one's ack.
    mosquitto_int_option(session_, MOSQ_OPT_TCP_NODELAY, 1);
    int result = MOSQ_ERR_SUCCESS;
    if (!options_.user.empty() &&
        (result = mosquitto_username_pw_set(session_, options_.user.c_str(),
                                            options_.password.empty() ? nullptr : options_.password.c_str())) !=
            MOSQ_ERR_SUCCESS) {
        why_not = "the broker's user or password cannot be used: " + said(result);
        return false;
    }
    if (options_.address.tls && !use_tls(session_, options_.tls_files, options_.address.host, why_not)) {
        return false;
    }
    if (!options_.will_topic.empty() &&
        (result = mosquitto_will_set(session_, options_.will_topic.c_str(), static_cast<int>(light::kOffline.size()),
                                     light::kOffline.data(), 1, true)) != MOSQ_ERR_SUCCESS) {
        why_not = "the last will on " + options_.will_topic + " cannot be set: " + said(result);
        return false;
    }
    mosquitto_connect_callback_set(session_, on_connect);
    mosquitto_disconnect_callback_set(session_, on_disconnect);
    mosquitto_subscribe_callback_set(session_, on_subscribe);
    mosquitto_message_callback_set(session_, on_message);
    mosquitto_publish_callback_set(session_, on_publish);
    mosquitto_log_callback_set(session_, on_log);
    thread_ = std::thread([this] { loop(); });
    return true;
}

void BrokerLink::publish(const std::string& topic, std::string payload, bool retain) {
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        waiting_[topic] = {topic, std::move(payload), retain};
    }
    wait_.wake();
}

void BrokerLink::subscribe(const std::string& topic) {
    int message_id = 0;
    const int result = mosquitto_subscribe(session_, &message_id, topic.c_str(), 1);
    if (result != MOSQ_ERR_SUCCESS) {
        program_support::log("cannot subscribe to " + topic + ": " + said(result));
        refused_.push_back(topic);
        return;
    }
    subscribing_[message_id] = topic;
}

bool BrokerLink::finish(const std::vector<Message>& last, Clock::time_point until) {
    if (!thread_.joinable()) {
        return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    last_ = last;
    finishing_ = true;
    wait_.wake();
    finished_changed_.wait_until(lock, until, [this] { return finished_; });
    const bool well = finished_well_;
    lock.unlock();
    stopping_ = true;
    wait_.wake();
    thread_.join();
    return well;
}

void BrokerLink::loop() {
    try {
        while (!stopping_) {
            const Clock::time_point now = Clock::now();
            // Once it is finishing, the session is not made again.
            if (phase_ == Phase::waiting && now >= retry_at_ && !last_sent_) {
                connect(now);
            }
            if (phase_ == Phase::connecting && now >= connack_by_) {
                give_up_connecting();
            }
            if (phase_ != Phase::waiting && now >= keepalive_check_) {
                keepalive_check_ = now + kKeepAliveCheck;
                run_library();
            }
            send_waiting();
            send_last();
            const bool connection = phase_ != Phase::waiting;
            const SocketWait::Ready ready = wait_.wait(connection ? mosquitto_socket(session_) : -1,
                                                       connection && mosquitto_want_write(session_), wake_at());
            if (ready.socket) {
                run_library();
            }
        }
    } catch (const std::exception& error) {
        callbacks_.failed(std::string("the broker's thread failed: ") + error.what());
    }
}

BrokerLink::Clock::time_point BrokerLink::wake_at() const {
    switch (phase_) {
        case Phase::waiting:
            // Finishing, it waits only for the stop.
            return last_sent_ ? Clock::now() + std::chrono::hours(24) : retry_at_;
        case Phase::connecting:
            return std::min(connack_by_, keepalive_check_);
        case Phase::connected:
            break;
    }
    return keepalive_check_;
}

void BrokerLink::connect(Clock::time_point now) {
    phase_ = Phase::connecting;
    connack_by_ = now + kConnackWithin;
    keepalive_check_ = now + kKeepAliveCheck;
    const int result =
        tried_ ? mosquitto_reconnect_async(session_)
               : mosquitto_connect_async(session_, options_.address.host.c_str(), options_.address.port, kKeepAliveS);
    tried_ = true;
    if (result != MOSQ_ERR_SUCCESS) {
        phase_ = Phase::waiting;
        try_again(reconnecting_.failed(),
                  "cannot reach the broker at " + options_.address.text() + " (" + said(result) + ")");
    }
}

void BrokerLink::give_up_connecting() {
    phase_ = Phase::waiting;
    try_again(reconnecting_.failed(),
              "the broker at " + options_.address.text() + " took the connection but sent no CONNACK within " +
                  std::to_string(kConnackWithin.count()) + " s: is it an MQTT broker, and does it speak " +
                  (options_.address.tls ? "TLS (mqtts://)" : "plain MQTT (mqtt://)") + " there?");
}

void BrokerLink::try_again(std::chrono::seconds wait, const std::string& news) {
    retry_at_ = Clock::now() + wait;
    rationed_.log("the broker's connection", news + "; trying again in " + std::to_string(wait.count()) + " s");
}

void BrokerLink::run_library() {
    int result = mosquitto_loop(session_, 0, 1);
    // The library reads one packet a turn: the rest the socket holds now is read at once, so that a
    // burst of commands never waits in the broker's queue for this client, which drops what overflows it.
    for (int packet = 1; result == MOSQ_ERR_SUCCESS && phase_ == Phase::connected && packet < kPacketsPerTurn;
         ++packet) {
        errno = 0;
        result = mosquitto_loop_read(session_, 1);
        if (would_block(errno)) {
            break;
        }
    }
    if (result == MOSQ_ERR_NOMEM || result == MOSQ_ERR_INVAL) {
        throw std::runtime_error("the MQTT library failed: " + said(result));
    }
    if (result != MOSQ_ERR_SUCCESS && phase_ != Phase::waiting) {
        ended(result);  // a TLS handshake that failed, which the library leaves to its caller
    }
    if (disconnect_now_) {
        disconnect_now_ = false;
        mosquitto_disconnect(session_);
        finished(true);
    }
}

void BrokerLink::send_waiting() {
    // Once finishing, nothing handed on later may follow the last messages.
    if (phase_ != Phase::connected || last_sent_) {
        return;
    }
    std::map<std::string, Message> sending;
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        sending.swap(waiting_);
    }
    for (const auto& [topic, message] : sending) {
        const int result = mosquitto_publish(session_, nullptr, topic.c_str(), static_cast<int>(message.payload.size()),
                                             message.payload.data(), 1, message.retain);
        if (result != MOSQ_ERR_SUCCESS) {
            rationed_.log("what cannot be published", "cannot publish to " + topic + ": " + said(result));
        }
    }
}

void BrokerLink::send_last() {
    std::vector<Message> last;
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (!finishing_ || last_sent_) {
            return;
        }
        last.swap(last_);
    }
    last_sent_ = true;
    if (phase_ != Phase::connected) {
        finished(false);
        return;
    }
    for (const Message& message : last) {
        int message_id = 0;
        if (mosquitto_publish(session_, &message_id, message.topic.c_str(), static_cast<int>(message.payload.size()),
                              message.payload.data(), 1, message.retain) == MOSQ_ERR_SUCCESS) {
            unacknowledged_.insert(message_id);
        }
    }
    if (unacknowledged_.empty()) {
        finished(false);
    }
}

void BrokerLink::finished(bool well) {
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        finished_ = true;
        finished_well_ = well;
    }
    finished_changed_.notify_all();
}

void BrokerLink::ended(int result) {
    const Phase was = phase_;
    phase_ = Phase::waiting;
    subscribing_.clear();
    if (last_sent_) {
        finished(false);
    }
    if (stopping_ || was == Phase::waiting) {
        return;
    }
    const std::string where = options_.address.text();
    if (was == Phase::connecting) {
        try_again(reconnecting_.failed(), "cannot reach the broker at " + where + " (" + said(result) + ")");
        return;
    }
    const std::chrono::seconds wait = reconnecting_.ended(Clock::now(), result == MOSQ_ERR_CONN_LOST);
    if (reconnecting_.taken_over_news()) {
        retry_at_ = Clock::now() + wait;
        program_support::log("the broker at " + where +
            " keeps closing the connections it accepts: another client likely connects "
            "with this bridge's client id, " +
            options_.client_id +
            ": a PC cloned from this one (the same machine id) "
            "or another bridge on this PC with the same --machine; give each its own machine id or --machine. Trying "
            "again in " +
            std::to_string(wait.count()) + " s, and later each time");
        return;
    }
    try_again(wait, "lost the broker at " + where + " (" + said(result) + ")");
}

void BrokerLink::on_connect(mosquitto*, void* self, int result) {
    auto& link = *static_cast<BrokerLink*>(self);
    const std::string where = link.options_.address.text();
    if (result != 0) {
        link.phase_ = Phase::waiting;
        const bool credentials = result == 4 || result == 5;  // bad user name or password; not authorised
        link.try_again(link.reconnecting_.failed(),
                       "the broker at " + where + " refused the connection: " + mosquitto_connack_string(result) +
                           (credentials ? " (check the user and password it was given)" : ""));
        return;
    }
    link.phase_ = Phase::connected;
    link.reconnecting_.accepted(Clock::now());
    link.refused_.clear();
    link.rationed_.log("the broker's connection", "connected to the broker at " + where);
    link.callbacks_.connected();
    if (link.subscribing_.empty()) {
        link.callbacks_.subscribed(link.refused_);
    }
}

void BrokerLink::on_disconnect(mosquitto*, void* self, int result) {
    auto& link = *static_cast<BrokerLink*>(self);
    if (result != 0) {
        link.ended(result);
    } else {
        link.phase_ = Phase::waiting;  // asked for
    }
}

void BrokerLink::on_subscribe(mosquitto*, void* self, int message_id, int count, const int* granted) {
    auto& link = *static_cast<BrokerLink*>(self);
    const auto asked = link.subscribing_.find(message_id);
    if (asked == link.subscribing_.end()) {
        return;
    }
    if (count < 1 || granted[0] >= kSubscriptionRefused) {
        program_support::log("the broker at " + link.options_.address.text() + " refused the subscription to " + asked->second +
            " (its ACL may not let this bridge's user read it)");
        link.refused_.push_back(asked->second);
    }
    link.subscribing_.erase(asked);
    if (link.subscribing_.empty()) {
        link.callbacks_.subscribed(link.refused_);
    }
}

void BrokerLink::on_message(mosquitto*, void* self, const mosquitto_message* message) {
    auto& link = *static_cast<BrokerLink*>(self);
    link.callbacks_.message(message->topic,
                            std::string_view(static_cast<const char*>(message->payload),
                                             static_cast<std::size_t>(std::max(message->payloadlen, 0))),
                            message->retain);
}

void BrokerLink::on_publish(mosquitto*, void* self, int message_id) {
    auto& link = *static_cast<BrokerLink*>(self);
    if (link.unacknowledged_.erase(message_id) > 0 && link.unacknowledged_.empty()) {
        link.disconnect_now_ = true;  // outside the callback, where the library sends it at once
    }
}

void BrokerLink::on_log(mosquitto*, void*, int level, const char* line) {
    // Its errors say what the result codes do not: why a TLS handshake failed.
    if (level == MOSQ_LOG_ERR) {
        program_support::log(std::string("the MQTT library: ") + line);
    }
}

}  // namespace bridge
