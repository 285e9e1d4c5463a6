// A host whose other thread is busy in SetLED while it exits or forks: the library must neither
// read freed memory as the host's exit handlers run beside that call (run it under memcheck or
// AddressSanitizer), nor hand a child its lock held by a thread the child does not have.
//   busy_host exit LIBRARY_PATH
//   busy_host fork LIBRARY_PATH     forks 50 times; each child sets the LED and exits
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using SetLed = void (*)(std::uint8_t);

std::atomic<long> calls{0};
constexpr int kForks = 50;
constexpr auto kChildDeadline = std::chrono::seconds(20);

// Registered before the library is loaded, so it runs after the library's own exit handlers: the
// host waits there (as one flushing its logs would) while its other thread goes on calling SetLED.
void let_late_calls_in() {
    const long before = calls;
    for (int waited_ms = 0; calls < before + 20 && waited_ms < 2000; ++waited_ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Whether the child ended by itself, setting the LED, before the deadline; one that hangs is killed.
bool child_ends(pid_t child) {
    const auto deadline = std::chrono::steady_clock::now() + kChildDeadline;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int fork_while_setting(SetLed set_led) {
    for (int fork_number = 1; fork_number <= kForks; ++fork_number) {
        const pid_t child = fork();
        if (child == 0) {
            set_led(1);
            _exit(0);
        }
        if (child < 0 || !child_ends(child)) {
            std::fprintf(stderr, "busy_host: child %d, forked while SetLED ran, did not end by itself\n", fork_number);
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool forking = argc == 3 && std::strcmp(argv[1], "fork") == 0;
    if (argc != 3 || (!forking && std::strcmp(argv[1], "exit") != 0)) {
        std::fputs("usage: busy_host exit|fork LIBRARY_PATH\n", stderr);
        return 2;
    }
    static_cast<void>(std::atexit(let_late_calls_in));
    void* library = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "busy_host: %s\n", dlerror());
        return 2;
    }
    const auto init = reinterpret_cast<std::uint8_t (*)()>(dlsym(library, "Init"));
    const auto set_led = reinterpret_cast<SetLed>(dlsym(library, "SetLED"));
    if (init == nullptr || set_led == nullptr || init() == 0) {
        return 1;
    }
    std::thread([set_led] {
        for (std::uint8_t code = 0;; code = static_cast<std::uint8_t>((code + 1) & 7)) {
            set_led(code);
            ++calls;
        }
    }).detach();
    while (calls < 100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (forking) {
        std::_Exit(fork_while_setting(set_led));  // the busy thread goes on; no exit handlers beside it
    }
    std::exit(0);  // no DeInit: the host just ends, as hosts do
}
