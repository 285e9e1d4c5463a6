// Loads the LED service from many clients at once, checking every reply.
//   load_clients many CLIENTS REQUESTS
//       Each client i sets its own indication (name load<i>, priority i) REQUESTS times, through
//       the colours in turn, on one connection; every reply must be "ok". Prints "replies OK
//       WRONG", then the colour the last client set last (the one that must show).
//   load_clients flood ROUND_TRIPS FLOOD
//       The median round trip of one client's gets, idle and then while another client sends FLOOD
//       requests without reading a reply: prints "idle MICROSECONDS flooded MICROSECONDS".
//   load_clients status-flood CONNECTIONS MILLISECONDS
//       CONNECTIONS connections ask status over and over, each as soon as its last reply came,
//       for MILLISECONDS: prints "statuses ANSWERED WRONG".
//   load_clients get-flood CONNECTIONS MILLISECONDS
//       The same with get: prints "gets ANSWERED WRONG".
// The service is the one at KAV_MORV_LED_ENDPOINT.
#include "endpoint.h"
#include "words.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string colour(unsigned index) {
    return protocol::color_name(static_cast<LedColorCode>(index % 8));
}

int many(unsigned clients, unsigned requests) {
    std::atomic<long> good{0};
    std::atomic<long> wrong{0};
    std::vector<std::thread> threads;
    for (unsigned client = 0; client < clients; ++client) {
        threads.emplace_back([client, requests, &good, &wrong] {
            endpoint::Connection connection;
            std::string why_not;
            if (connection.open(endpoint::configured(), why_not) != endpoint::Opened::yes) {
                wrong += requests;
                return;
            }
            const std::string options = " name=load" + std::to_string(client) + " priority=" + std::to_string(client);
            std::string reply;
            for (unsigned request = 0; request < requests; ++request) {
                const bool answered = connection.send("set " + colour(client + request) + options + "\n") &&
                                      connection.receive_line(reply);
                (answered && reply == "ok" ? good : wrong) += 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::printf("replies %ld %ld\n%s\n", good.load(), wrong.load(), colour(clients - 1 + requests - 1).c_str());
    return wrong == 0 ? 0 : 1;
}

double median_round_trip(endpoint::Connection& connection, unsigned round_trips) {
    std::vector<double> times;
    std::string reply;
    for (unsigned trip = 0; trip < round_trips; ++trip) {
        const Clock::time_point start = Clock::now();
        if (!connection.send("get\n") || !connection.receive_line(reply)) {
            return -1;
        }
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + static_cast<long>(times.size() / 2), times.end());
    return times[times.size() / 2];
}

int flood(unsigned round_trips, unsigned requests) {
    endpoint::Connection measured;
    // It sends and never reads; once its replies back up, the service reads no more from it, and it
    // stays blocked in a write until this program ends and the system closes it.
    auto* flooder = new endpoint::Connection;
    std::string why_not;
    if (measured.open(endpoint::configured(), why_not) != endpoint::Opened::yes ||
        flooder->open(endpoint::configured(), why_not) != endpoint::Opened::yes) {
        std::fprintf(stderr, "load_clients: cannot connect: %s\n", why_not.c_str());
        return 1;
    }
    const double idle = median_round_trip(measured, round_trips);
    std::thread([flooder, requests] {
        for (unsigned request = 0; request < requests && flooder->send("set red name=flood\n"); ++request) {
        }
    }).detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double flooded = median_round_trip(measured, round_trips);
    std::printf("idle %.1f flooded %.1f\n", idle, flooded);
    return idle > 0 && flooded > 0 ? 0 : 1;
}

// `request` asked over and over on each of `connections`; its replies must begin with `answer`.
// Prints "`counted` ANSWERED WRONG".
int asking_flood(const std::string& request, const std::string& answer, const char* counted, unsigned connections,
                 unsigned milliseconds) {
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(milliseconds);
    std::atomic<long> answered{0};
    std::atomic<long> wrong{0};
    std::vector<std::thread> threads;
    for (unsigned client = 0; client < connections; ++client) {
        threads.emplace_back([&request, &answer, until, &answered, &wrong] {
            endpoint::Connection connection;
            std::string why_not;
            std::string reply;
            if (connection.open(endpoint::configured(), why_not) != endpoint::Opened::yes) {
                ++wrong;
                return;
            }
            while (Clock::now() < until) {
                const bool ok = connection.send(request + "\n") && connection.receive_line(reply);
                (ok && reply.compare(0, answer.size(), answer) == 0 ? answered : wrong) += 1;
                if (!ok) {
                    return;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::printf("%s %ld %ld\n", counted, answered.load(), wrong.load());
    return wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 4 ? argv[1] : "";
    const auto number = [argv](int at) { return static_cast<unsigned>(std::strtoul(argv[at], nullptr, 10)); };
    if (mode == "many") {
        return many(number(2), number(3));
    }
    if (mode == "flood") {
        return flood(number(2), number(3));
    }
    if (mode == "status-flood") {
        return asking_flood("status", "ok {", "statuses", number(2), number(3));
    }
    if (mode == "get-flood") {
        return asking_flood("get", "ok ", "gets", number(2), number(3));
    }
    std::fputs("usage: load_clients many CLIENTS REQUESTS | flood ROUND_TRIPS FLOOD | status-flood CONNECTIONS MS | "
               "get-flood CONNECTIONS MS\n",
               stderr);
    return 2;
}
