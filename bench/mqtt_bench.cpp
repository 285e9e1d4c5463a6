// Measures the MQTT bridge from a publisher's side, beside the broker's own floor, on a broker at
// 127.0.0.1:PORT:
//   mqtt_bench floor PORT COUNT SPACING_MS     COUNT messages published SPACING_MS apart on a topic
//                                              another connection of this program subscribes to: each
//                                              one's publish to its arrival, in microseconds
//   mqtt_bench commands PORT TOPIC COUNT SPACING_MS   COUNT commands in Home Assistant's JSON, red
//                                              and blue in turn, published SPACING_MS apart: when each
//                                              was published
//   mqtt_bench burst PORT TOPIC COUNT          COUNT commands published as fast as they go, red and blue
//                                              in turn, the last one green: when the last was published
// Times of publishing are microseconds on the system's monotonic clock, which stamps the simulated
// LED's journal too. Prints one JSON list.
#include "print_times.h"

#include <mosquitto.h>

#include <atomic>
#include <chrono>
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
    // Disconnecting after what was queued is sent: QoS 0 messages have no acknowledgement to wait for.
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);
}

bool publish(mosquitto* client, const std::string& topic, const std::string& payload) {
    return mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0,
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
    mosquitto_subscribe(subscriber, nullptr, "mqtt_bench/floor", 0);
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

bool burst(int port, const std::string& topic, long count, std::vector<double>& times) {
    mosquitto* publisher = connected(port, nullptr);
    if (publisher == nullptr) {
        return false;
    }
    for (long index = 0; index < count; ++index) {
        if (index == count - 1) {
            times.push_back(microseconds_now());
        }
        publish(publisher, topic, command(index, count - 1));
    }
    disconnect(publisher);
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
    } else if (mode == "burst" && argc == 5) {
        measured = burst(port, argv[3], std::atol(argv[4]), times);
    } else {
        std::fprintf(stderr, "usage: mqtt_bench floor PORT COUNT SPACING_MS | commands PORT TOPIC COUNT SPACING_MS | "
                             "burst PORT TOPIC COUNT\n");
        return 2;
    }
    mosquitto_lib_cleanup();
    if (!measured) {
        return 1;
    }
    print_times(times);
    return 0;
}
