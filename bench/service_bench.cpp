// Measures the LED service from a client's side, beside floors measured in the same run:
//   service_bench round-trips COUNT     COUNT "get" requests on one open connection to the service
//                                       at KAV_MORV_LED_ENDPOINT
//   service_bench echo-round-trips COUNT  the same over an echo server of this program's own on
//                                       the same kind of endpoint: the transport's floor
//   service_bench sleep-lateness PERIOD_MS COUNT  how late this system wakes a thread that sleeps
//                                       until absolute times PERIOD_MS apart: the pattern clock's floor
//   service_bench send LINE             sends one request and waits for its reply: when it was sent,
//                                       on the system's monotonic clock, which stamps the simulated
//                                       LED's journal too
//   service_bench set-round-trips COUNT  COUNT "set" requests of one name, red and blue in turn, on
//                                       one open connection
//   service_bench fill COUNT STEPS [FOR_MS]  COUNT patterns of STEPS steps under names of their own,
//                                       at priority 0, expiring after FOR_MS when given; prints no times
//   service_bench event-latency COUNT   COUNT "set"s of one name, red and blue in turn, on one
//                                       connection, each timed from its sending to its event coming on
//                                       another connection that watches
//   service_bench durable-writes COUNT FOLDER  COUNT state files of a set's size written in FOLDER as
//                                       the service writes its own: written, flushed, renamed into
//                                       place, the folder flushed
//   service_bench journal-appends COUNT FOLDER  COUNT records of a set appended to a journal in FOLDER
//                                       as the service appends its own, each flushed: the floor of a
//                                       set answered once kept
//   service_bench status-round-trips COUNT  COUNT "status" requests on one open connection
// Prints the microseconds of each as one JSON list.
#include "echo_server.h"
#include "endpoint.h"
#include "journal_file.h"
#include "platform.h"
#include "print_times.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

// `count` requests made by `request` (given the request's number) on one open connection, each
// answered `expected`; their round trips, when `times` is given.
template <typename Request>
bool requests(const std::string& endpoint_name, long count, Request request, const std::string& expected,
              std::vector<double>* times) {
    endpoint::Connection connection;
    std::string why_not;
    if (connection.open(endpoint_name, why_not) != endpoint::Opened::yes) {
        std::fprintf(stderr, "service_bench: cannot connect to %s: %s\n", endpoint_name.c_str(), why_not.c_str());
        return false;
    }
    std::string reply;
    for (long done = 0; done < count; ++done) {
        const Clock::time_point start = Clock::now();
        if (!connection.send(request(done) + "\n") || !connection.receive_line(reply)) {
            std::fprintf(stderr, "service_bench: the connection ended\n");
            return false;
        }
        if (!expected.empty() && reply != expected) {
            std::fprintf(stderr, "service_bench: %s, not %s\n", reply.c_str(), expected.c_str());
            return false;
        }
        if (times != nullptr) {
            times->push_back(microseconds(Clock::now() - start));
        }
    }
    return true;
}

bool round_trips(const std::string& endpoint_name, long count, std::vector<double>& times) {
    return requests(
        endpoint_name, count, [](long) { return std::string("get"); }, "", &times);
}

bool set_round_trips(long count, std::vector<double>& times) {
    return requests(
        endpoint::configured(), count,
        [](long number) { return std::string(number % 2 == 0 ? "set red" : "set blue") + " name=bench"; }, "ok",
        &times);
}

bool fill(long count, long steps, const std::string& for_ms) {
    std::string pattern = "pattern";
    for (long step = 0; step < steps; ++step) {
        pattern += step % 2 == 0 ? " red:1000" : " blue:1000";
    }
    if (!for_ms.empty()) {
        pattern += " for=" + for_ms;
    }
    return requests(
        endpoint::configured(), count,
        [&pattern](long number) { return pattern + " priority=0 name=fill" + std::to_string(number); }, "ok", nullptr);
}

bool send(const std::string& line, std::vector<double>& times) {
    endpoint::Connection connection;
    std::string why_not;
    std::string reply;
    if (connection.open(endpoint::configured(), why_not) != endpoint::Opened::yes) {
        std::fprintf(stderr, "service_bench: cannot connect: %s\n", why_not.c_str());
        return false;
    }
    times.push_back(microseconds(Clock::now().time_since_epoch()));
    if (!connection.send(line + "\n") || !connection.receive_line(reply) || reply != "ok") {
        std::fprintf(stderr, "service_bench: no ok for %s: %s\n", line.c_str(), reply.c_str());
        return false;
    }
    return true;
}

void sleep_lateness(long period_ms, long count, std::vector<double>& times) {
    Clock::time_point due = Clock::now();
    for (long done = 0; done < count; ++done) {
        due += std::chrono::milliseconds(period_ms);
        std::this_thread::sleep_until(due);
        times.push_back(microseconds(Clock::now() - due));
    }
}

bool event_latency(long count, std::vector<double>& times) {
    endpoint::Connection watcher;
    endpoint::Connection setter;
    std::string why_not;
    std::string line;
    if (watcher.open(endpoint::configured(), why_not) != endpoint::Opened::yes ||
        setter.open(endpoint::configured(), why_not) != endpoint::Opened::yes || !watcher.send("watch\n") ||
        !watcher.receive_line(line) || line != "ok") {
        std::fprintf(stderr, "service_bench: cannot watch: %s %s\n", why_not.c_str(), line.c_str());
        return false;
    }
    for (long done = 0; done < count; ++done) {
        const Clock::time_point start = Clock::now();
        if (!setter.send(std::string(done % 2 == 0 ? "set red" : "set blue") + " name=bench\n") ||
            !watcher.receive_line(line)) {
            std::fprintf(stderr, "service_bench: the connection ended\n");
            return false;
        }
        times.push_back(microseconds(Clock::now() - start));
        if (line.rfind("event ", 0) != 0 || !setter.receive_line(line) || line != "ok") {
            std::fprintf(stderr, "service_bench: %s, not an event and ok\n", line.c_str());
            return false;
        }
    }
    return true;
}

bool durable_writes(long count, const std::string& folder, std::vector<double>& times) {
    const std::string state = R"({"version":1,"indications":[{"request":"set red name=bench priority=100",)"
                              R"("owner":"root","owner_id":"0","set_at_ms":1765000000000,"expires_at_ms":null}]})";
    std::string why_not;
    for (long done = 0; done < count; ++done) {
        const Clock::time_point start = Clock::now();
        if (!platform::replace_file(folder + "/durable.json", state, why_not)) {
            std::fprintf(stderr, "service_bench: cannot write in %s: %s\n", folder.c_str(), why_not.c_str());
            return false;
        }
        times.push_back(microseconds(Clock::now() - start));
    }
    return true;
}

bool journal_appends(long count, const std::string& folder, std::vector<double>& times) {
    const std::string record =
        R"({"generation":1,"set":{"request":"set red name=bench priority=100","owner_id":"0","owner":"root",)"
        R"("set_at_ms":1765000000000,"expires_at_ms":null}})"
        "\n";
    service::JournalFile journal;
    std::string why_not;
    if (!journal.open(folder + "/bench.journal", why_not) || !journal.empty_out(why_not)) {
        std::fprintf(stderr, "service_bench: cannot make a journal in %s: %s\n", folder.c_str(), why_not.c_str());
        return false;
    }
    for (long done = 0; done < count; ++done) {
        const Clock::time_point start = Clock::now();
        if (!journal.append(record, why_not)) {
            std::fprintf(stderr, "service_bench: cannot append in %s: %s\n", folder.c_str(), why_not.c_str());
            return false;
        }
        times.push_back(microseconds(Clock::now() - start));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    std::vector<double> times;
    bool measured = false;
    if (mode == "round-trips" && argc == 3) {
        measured = round_trips(endpoint::configured(), std::atol(argv[2]), times);
    } else if (mode == "echo-round-trips" && argc == 3) {
        const std::string name = start_echo_server();
        measured = !name.empty() && round_trips(name, std::atol(argv[2]), times);
    } else if (mode == "sleep-lateness" && argc == 4) {
        sleep_lateness(std::atol(argv[2]), std::atol(argv[3]), times);
        measured = true;
    } else if (mode == "send" && argc == 3) {
        measured = send(argv[2], times);
    } else if (mode == "set-round-trips" && argc == 3) {
        measured = set_round_trips(std::atol(argv[2]), times);
    } else if (mode == "event-latency" && argc == 3) {
        measured = event_latency(std::atol(argv[2]), times);
    } else if (mode == "durable-writes" && argc == 4) {
        measured = durable_writes(std::atol(argv[2]), argv[3], times);
    } else if (mode == "journal-appends" && argc == 4) {
        measured = journal_appends(std::atol(argv[2]), argv[3], times);
    } else if (mode == "status-round-trips" && argc == 3) {
        measured = requests(
            endpoint::configured(), std::atol(argv[2]), [](long) { return std::string("status"); }, "", &times);
    } else if (mode == "fill" && (argc == 4 || argc == 5)) {
        measured = fill(std::atol(argv[2]), std::atol(argv[3]), argc == 5 ? argv[4] : "");
    } else {
        std::fprintf(stderr,
                     "usage: service_bench round-trips COUNT | echo-round-trips COUNT | "
                     "sleep-lateness PERIOD_MS COUNT | send LINE | set-round-trips COUNT | fill COUNT STEPS [FOR_MS] | "
                     "event-latency COUNT | durable-writes COUNT FOLDER | journal-appends COUNT FOLDER | "
                     "status-round-trips COUNT\n");
        return 2;
    }
    if (!measured) {
        return 1;
    }
    print_times(times);
    return 0;
}
