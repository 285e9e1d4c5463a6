// Measures the MQTT bridge from a publisher's side, beside the broker's own floor, on a broker at
// 127.0.0.1:PORT, all at QoS 1, as Home Assistant publishes with the bridge's discovery config:
//   mqtt_bench floor PORT COUNT SPACING_MS     COUNT messages published SPACING_MS apart on a topic
//                                              another connection of this program subscribes to: each
//                                              one's publish to its arrival, in microseconds
//   mqtt_bench commands PORT TOPIC COUNT SPACING_MS   COUNT commands in Home Assistant's JSON, red
//                                              and blue in turn, published SPACING_MS apart: when each
//                                              was published
//   mqtt_bench burst PORT TOPIC COUNT QOS      COUNT commands published as fast as they go at QOS, red
//                                              and blue in turn, the last one green: when the last was
//                                              published
//   mqtt_bench local PORT STATE_TOPIC COUNT    COUNT changes made locally (set red and blue in turn) on
//                                              the LED service at KAV_MORV_LED_ENDPOINT: each one's
//                                              sending to its event on a watch, then to its state on
//                                              the broker, in microseconds (all events', then all states')
// Times of publishing are microseconds on the system's monotonic clock, which stamps the simulated
// LED's journal too. Prints one JSON list.
#include "endpoint.h"
#include "print_times.h"

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double microseconds_now() {
    return std::chrono::duration<double, std::micro>(Clock::now().time_since_epoch()).count();
}

// A connection with its network thread running; null when it cannot connect.
mosquitto* connected(int port, void* context) {
    mosquitto* client = mosquitto_new(nullptr, true, context);
    if (client != nullptr) {
        mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    }
    if (client == nullptr || mosquitto_connect(client, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(client) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "mqtt_bench: cannot connect to 127.0.0.1:%d\n", port);
        if (client != nullptr) {
            mosquitto_destroy(client);
        }
        return nullptr;
    }
    return client;
}

void disconnect(mosquitto* client) {
    // Disconnecting after what was queued is sent (the broker takes what came before the DISCONNECT).
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);
}

bool publish(mosquitto* client, const std::string& topic, const std::string& payload, int qos = 1) {
    return mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                             false) == MOSQ_ERR_SUCCESS;
}

// As Home Assistant sends a colour: red and blue in turn, the last green.
std::string command(long number, long last) {
    const char* color = number == last ? R"({"r":0,"g":255,"b":0})"
                        : number % 2 == 0 ? R"({"r":255,"g":0,"b":0})"
                                          : R"({"r":0,"g":0,"b":255})";
    return std::string(R"({"state":"ON","color":)") + color + "}";
}

struct Arrivals {
    std::atomic<long> count{0};
    std::atomic<bool> subscribed{false};
    std::vector<double> at;  // filled by the network thread, read after `count` says so
};

bool broker_floor(int port, long count, long spacing_ms, std::vector<double>& times) {
    Arrivals arrivals;
    arrivals.at.resize(static_cast<std::size_t>(count));
    mosquitto* subscriber = connected(port, &arrivals);
    mosquitto* publisher = subscriber != nullptr ? connected(port, nullptr) : nullptr;
    if (publisher == nullptr) {
        return false;
    }
    mosquitto_message_callback_set(subscriber, [](mosquitto*, void* context, const mosquitto_message*) {
        auto* seen = static_cast<Arrivals*>(context);
        const long index = seen->count.load();
        if (index < static_cast<long>(seen->at.size())) {
            seen->at[static_cast<std::size_t>(index)] = microseconds_now();
            seen->count.store(index + 1);
        }
    });
    mosquitto_subscribe_callback_set(subscriber, [](mosquitto*, void* context, int, int, const int*) {
        static_cast<Arrivals*>(context)->subscribed.store(true);
    });
    const Clock::time_point give_up = Clock::now() + std::chrono::seconds(30);
    mosquitto_subscribe(subscriber, nullptr, "mqtt_bench/floor", 1);
    while (!arrivals.subscribed.load() && Clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<double> sent;
    for (long index = 0; index < count; ++index) {
        std::this_thread::sleep_for(std::chrono::milliseconds(spacing_ms));
        sent.push_back(microseconds_now());
        publish(publisher, "mqtt_bench/floor", command(index, -1));
        while (arrivals.count.load() <= index && Clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
    const bool all = arrivals.count.load() == count;
    for (long index = 0; all && index < count; ++index) {
        times.push_back(arrivals.at[static_cast<std::size_t>(index)] - sent[static_cast<std::size_t>(index)]);
    }
    disconnect(publisher);
    disconnect(subscriber);
    if (!all) {
        std::fprintf(stderr, "mqtt_bench: %ld of %ld messages came back\n", arrivals.count.load(), count);
    }
    return all;
}

bool commands(int port, const std::string& topic, long count, long spacing_ms, std::vector<double>& times) {
    mosquitto* publisher = connected(port, nullptr);
    if (publisher == nullptr) {
        return false;
    }
    for (long index = 0; index < count; ++index) {
        std::this_thread::sleep_for(std::chrono::milliseconds(spacing_ms));
        times.push_back(microseconds_now());
        publish(publisher, topic, command(index, -1));
    }
    disconnect(publisher);
    return true;
}

bool burst(int port, const std::string& topic, long count, int qos, std::vector<double>& times) {
    mosquitto* publisher = connected(port, nullptr);
    if (publisher == nullptr) {
        return false;
    }
    for (long index = 0; index < count; ++index) {
        if (index == count - 1) {
            times.push_back(microseconds_now());
        }
        publish(publisher, topic, command(index, count - 1), qos);
    }
    disconnect(publisher);
    return true;
}

// The last state message seen on the broker, and when it came.
struct States {
    std::mutex mutex;
    std::string last;
    double at = 0;
};

bool local_changes(int port, const std::string& state_topic, long count, std::vector<double>& times) {
    States states;
    mosquitto* subscriber = connected(port, &states);
    if (subscriber == nullptr) {
        return false;
    }
    mosquitto_message_callback_set(subscriber, [](mosquitto*, void* context, const mosquitto_message* message) {
        auto* seen = static_cast<States*>(context);
        const std::lock_guard<std::mutex> guard(seen->mutex);
        seen->last.assign(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen));
        seen->at = microseconds_now();
    });
    mosquitto_subscribe(subscriber, nullptr, state_topic.c_str(), 1);
    endpoint::Connection watch;
    endpoint::Connection changes;
    std::string why_not;
    std::string line;
    const std::string name = endpoint::configured();
    if (watch.open(name, why_not) != endpoint::Opened::yes || !watch.send("watch\n") || !watch.receive_line(line) ||
        changes.open(name, why_not) != endpoint::Opened::yes) {
        std::fprintf(stderr, "mqtt_bench: cannot reach the LED service: %s\n", why_not.c_str());
        disconnect(subscriber);
        return false;
    }
    std::vector<double> events;
    const Clock::time_point give_up = Clock::now() + std::chrono::seconds(60);
    for (long index = 0; index < count && Clock::now() < give_up; ++index) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const bool red = index % 2 == 0;
        const double sent = microseconds_now();
        changes.send(std::string("set ") + (red ? "red" : "blue") + " name=bench_local priority=200\n");
        while (watch.receive_line(line) && line.find("bench_local") == std::string::npos) {
        }
        events.push_back(microseconds_now() - sent);
        changes.receive_line(line);
        const char* wanted = red ? R"("r":255)" : R"("b":255)";
        for (;;) {
            {
                const std::lock_guard<std::mutex> guard(states.mutex);
                if (states.at > sent && states.last.find(wanted) != std::string::npos) {
                    times.push_back(states.at - sent);
                    break;
                }
            }
            if (Clock::now() > give_up) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
    disconnect(subscriber);
    if (static_cast<long>(times.size()) != count) {
        std::fprintf(stderr, "mqtt_bench: %zu of %ld states came within 60 s\n", times.size(), count);
        return false;
    }
    times.insert(times.begin(), events.begin(), events.end());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const int port = argc > 2 ? std::atoi(argv[2]) : 0;
    std::vector<double> times;
    mosquitto_lib_init();
    bool measured = false;
    if (mode == "floor" && argc == 5) {
        measured = broker_floor(port, std::atol(argv[3]), std::atol(argv[4]), times);
    } else if (mode == "commands" && argc == 6) {
        measured = commands(port, argv[3], std::atol(argv[4]), std::atol(argv[5]), times);
    } else if (mode == "burst" && argc == 6) {
        measured = burst(port, argv[3], std::atol(argv[4]), std::atoi(argv[5]), times);
    } else if (mode == "local" && argc == 5) {
        measured = local_changes(port, argv[3], std::atol(argv[4]), times);
    } else {
        std::fprintf(stderr, "usage: mqtt_bench floor PORT COUNT SPACING_MS | commands PORT TOPIC COUNT SPACING_MS | "
                             "burst PORT TOPIC COUNT QOS | local PORT STATE_TOPIC COUNT\n");
        return 2;
    }
    mosquitto_lib_cleanup();
    if (!measured) {
        return 1;
    }
    print_times(times);
    return 0;
}
