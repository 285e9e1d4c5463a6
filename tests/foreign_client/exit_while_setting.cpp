// A host that exits while another of its threads is still in SetLED: the exit handlers run beside
// that call, which must find everything it uses still there. Run under memcheck or AddressSanitizer.
//   exit_while_setting LIBRARY_PATH
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

std::atomic<long> calls{0};

// Registered before the library is loaded, so it runs after the library's own exit handlers: the
// host waits there (as one flushing its logs would) while its other thread goes on calling SetLED.
void let_late_calls_in() {
    const long before = calls;
    for (int waited_ms = 0; calls < before + 20 && waited_ms < 2000; ++waited_ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

int main(int argc, char** argv) {
    static_cast<void>(std::atexit(let_late_calls_in));
    void* library = argc == 2 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (library == nullptr) {
        std::fprintf(stderr, "usage: exit_while_setting LIBRARY_PATH (%s)\n", dlerror());
        return 2;
    }
    const auto init = reinterpret_cast<std::uint8_t (*)()>(dlsym(library, "Init"));
    const auto set_led = reinterpret_cast<void (*)(std::uint8_t)>(dlsym(library, "SetLED"));
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
    std::exit(0);  // no DeInit: the host just ends, as hosts do
}
