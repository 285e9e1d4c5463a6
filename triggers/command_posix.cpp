#include "machine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

extern char** environ;

namespace triggers::machine {
namespace {

// A program that will not end: it is killed, with the process group it leads, and waited for.
void kill_and_wait(pid_t child) {
    kill(-child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

int milliseconds_until(Deadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(left, INT_MAX)));
}

}  // namespace

Ended run_command(const std::vector<std::string>& arguments, Deadline deadline) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&files, STDOUT_FILENO, STDERR_FILENO);
    // Nothing of this program's (the LED service's connection, another check's socket) is handed on.
    posix_spawn_file_actions_addclosefrom_np(&files, STDERR_FILENO + 1);
    // A group of its own, so that what it starts is killed with it; every signal as a new program
    // would have it, whatever this one ignores.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[0], &files, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        return {Ended::How::not_started, 0, std::strerror(spawned)};
    }

    // A descriptor that becomes readable when the child ends, for a wait with a deadline.
    const int ending = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (ending < 0) {
        const int error = errno;
        kill_and_wait(child);
        return {Ended::How::not_started, 0, std::string("its end cannot be waited for: ") + std::strerror(error)};
    }
    pollfd watched{ending, POLLIN, 0};
    int ready = 0;
    while ((ready = poll(&watched, 1, milliseconds_until(deadline))) < 0 && errno == EINTR) {
    }
    close(ending);
    if (ready <= 0) {
        kill_and_wait(child);
        return {Ended::How::timed_out, 0, ""};
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        return {Ended::How::exited, 128 + WTERMSIG(status), ""};
    }
    return {Ended::How::exited, WEXITSTATUS(status), ""};
}

}  // namespace triggers::machine
