#include "checks.h"

#include "machine.h"

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

namespace triggers {
namespace {

namespace fs = std::filesystem;

std::string percent_words(double percent) {
    char text[32];
    static_cast<void>(std::snprintf(text, sizeof text, "%.1f %%", percent));
    return text;
}

class ServiceCheck : public Check {
public:
    explicit ServiceCheck(ServiceStopped condition) : condition_(std::move(condition)) {}
    Outcome run(Deadline deadline) override {
        std::string why_not;
        const std::optional<bool> running = machine::service_running(condition_.service, deadline, why_not);
        if (!running) {
            return {true, "the state of the service " + condition_.service + " cannot be told (" + why_not + ")"};
        }
        return {!*running, "the service " + condition_.service + (*running ? " runs" : " does not run")};
    }

private:
    ServiceStopped condition_;
};

class ProcessCheck : public Check {
public:
    explicit ProcessCheck(ProcessMissing condition) : condition_(std::move(condition)) {}
    Outcome run(Deadline) override {
        std::string why_not;
        const std::optional<bool> running = machine::process_running(condition_.process, why_not);
        if (!running) {
            return {true, "the processes cannot be listed (" + why_not + ")"};
        }
        return {!*running, (*running ? "a process " : "no process ") + condition_.process + " runs"};
    }

private:
    ProcessMissing condition_;
};

class DiskCheck : public Check {
public:
    explicit DiskCheck(DiskFreeBelow condition) : condition_(std::move(condition)) {}
    Outcome run(Deadline) override {
        std::error_code error;
        const fs::space_info space = fs::space(condition_.path, error);
        if (error || space.capacity == 0) {
            return {true, "the free space of " + condition_.path + " cannot be told (" +
                              (error ? error.message() : "a volume of no size") + ")"};
        }
        const double percent = 100.0 * static_cast<double>(space.available) / static_cast<double>(space.capacity);
        const bool below = condition_.percent ? percent < *condition_.percent : space.available < *condition_.bytes;
        return {below, condition_.path + " has " + std::to_string(space.available) + " bytes free (" +
                           percent_words(percent) + ")"};
    }

private:
    DiskFreeBelow condition_;
};

class TcpCheck : public Check {
public:
    explicit TcpCheck(TcpRefused condition)
        : condition_(std::move(condition)), address_(condition_.host + ":" + condition_.port) {}
    Outcome run(Deadline deadline) override {
        asio::io_context io;
        asio::error_code error;
        // The name is looked up by the system, which takes no deadline: one that hangs is cut
        // short by the rule's timeout on the event loop.
        const auto addresses = asio::ip::tcp::resolver(io).resolve(condition_.host, condition_.port, error);
        if (error) {
            return {true, condition_.host + " cannot be looked up (" + error.message() + ")"};
        }
        asio::ip::tcp::socket socket(io);
        asio::steady_timer timer(io, deadline);
        std::optional<asio::error_code> connected;
        asio::async_connect(socket, addresses, [&](const asio::error_code& result, const asio::ip::tcp::endpoint&) {
            connected = result;
            timer.cancel();
        });
        timer.async_wait([&socket](const asio::error_code& cancelled) {
            if (!cancelled) {
                socket.close();
            }
        });
        io.run();
        if (connected && !*connected) {
            return {false, address_ + " accepts"};
        }
        if (!connected || *connected == asio::error::operation_aborted) {
            return {true, address_ + " accepted no connection in time"};
        }
        return {true, "nothing accepts at " + address_ + ": " + connected->message()};
    }

private:
    TcpRefused condition_;
    std::string address_;
};

class HttpCheck : public Check {
public:
    explicit HttpCheck(HttpFailing condition) : condition_(std::move(condition)) {}
    Outcome run(Deadline deadline) override {
        std::string why_not;
        const std::optional<long> status = machine::http_status(condition_.url, deadline, why_not);
        if (!status) {
            return {true, condition_.url + " did not answer (" + why_not + ")"};
        }
        return {*status < 200 || *status > 299, condition_.url + " answered " + std::to_string(*status)};
    }

private:
    HttpFailing condition_;
};

class CommandCheck : public Check {
public:
    explicit CommandCheck(CommandFails condition) : condition_(std::move(condition)) {}
    Outcome run(Deadline deadline) override {
        const machine::Ended ended = machine::run_command(condition_.arguments, deadline);
        const std::string& program = condition_.arguments.front();
        switch (ended.how) {
            case machine::Ended::How::exited:
                return {ended.status != 0, program + " exited with status " + std::to_string(ended.status)};
            case machine::Ended::How::timed_out:
                return {true, program + " did not end in time, and was killed"};
            case machine::Ended::How::not_started:
                break;
        }
        return {true, program + " could not be started (" + ended.why + ")"};
    }

private:
    CommandFails condition_;
};

class FileAgeCheck : public Check {
public:
    explicit FileAgeCheck(FileOlderThan condition) : condition_(std::move(condition)) {}
    Outcome run(Deadline) override {
        std::error_code error;
        const fs::file_time_type written = fs::last_write_time(condition_.path, error);
        if (error == std::errc::no_such_file_or_directory) {
            return {true, condition_.path + " is missing"};
        }
        if (error) {
            return {true, condition_.path + " cannot be looked at (" + error.message() + ")"};
        }
        const auto age = std::chrono::duration_cast<Milliseconds>(fs::file_time_type::clock::now() - written);
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(age);
        return {age > condition_.age, condition_.path + " was written " + duration_words(seconds) + " ago"};
    }

private:
    FileOlderThan condition_;
};

// A use above its threshold at every check for a while: the processor's over the time since the
// last check, the memory's at the moment.
class UseCheck : public Check {
public:
    explicit UseCheck(UseAbove condition) : condition_(condition) {
        std::string why_not;
        if (condition_.resource == Resource::cpu) {
            before_ = machine::processor_times(why_not);
        }
    }
    Outcome run(Deadline) override {
        std::string why_not;
        std::optional<double> use;
        const char* what = condition_.resource == Resource::cpu ? "processor" : "memory";
        if (condition_.resource == Resource::cpu) {
            const std::optional<machine::ProcessorTimes> now = machine::processor_times(why_not);
            if (now && before_ && now->total > before_->total) {
                use = 100.0 * static_cast<double>(now->busy - before_->busy) /
                      static_cast<double>(now->total - before_->total);
            }
            before_ = now;
        } else {
            use = machine::memory_use(why_not);
        }
        if (!use) {
            return {true, std::string("the ") + what + "'s use cannot be told" +
                              (why_not.empty() ? "" : " (" + why_not + ")")};
        }
        const Clock::time_point now = Clock::now();
        if (*use > condition_.percent) {
            above_since_ = above_since_.value_or(now);
        } else {
            above_since_.reset();
        }
        const bool holds = above_since_ && now - *above_since_ >= condition_.sustained;
        return {holds, std::string("the ") + what + " is " + percent_words(*use) + " in use"};
    }

private:
    UseAbove condition_;
    std::optional<machine::ProcessorTimes> before_;
    std::optional<Clock::time_point> above_since_;
};

class AlwaysCheck : public Check {
public:
    Outcome run(Deadline) override { return {true, "always"}; }
    bool waits() const override { return false; }
};

struct Maker {
    std::unique_ptr<Check> operator()(const ServiceStopped& c) const { return std::make_unique<ServiceCheck>(c); }
    std::unique_ptr<Check> operator()(const ProcessMissing& c) const { return std::make_unique<ProcessCheck>(c); }
    std::unique_ptr<Check> operator()(const DiskFreeBelow& c) const { return std::make_unique<DiskCheck>(c); }
    std::unique_ptr<Check> operator()(const TcpRefused& c) const { return std::make_unique<TcpCheck>(c); }
    std::unique_ptr<Check> operator()(const HttpFailing& c) const { return std::make_unique<HttpCheck>(c); }
    std::unique_ptr<Check> operator()(const CommandFails& c) const { return std::make_unique<CommandCheck>(c); }
    std::unique_ptr<Check> operator()(const FileOlderThan& c) const { return std::make_unique<FileAgeCheck>(c); }
    std::unique_ptr<Check> operator()(const UseAbove& c) const { return std::make_unique<UseCheck>(c); }
    std::unique_ptr<Check> operator()(const Always&) const { return std::make_unique<AlwaysCheck>(); }
};

}  // namespace

std::unique_ptr<Check> make_check(const Condition& condition) {
    return std::visit(Maker{}, condition);
}

}  // namespace triggers
