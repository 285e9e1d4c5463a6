// Holds the LED's machine-wide register lock, as a hung program would, so a test can see a tester
// give up waiting for it.
//   lock_holder MILLISECONDS
// Writes "held" once it holds the lock, then keeps it that long. Exit status 1 if it could not take it.
#include "platform.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: lock_holder MILLISECONDS\n", stderr);
        return 2;
    }
    // The name the library takes; a test that holds another would prove nothing.
    if (platform::acquire_named_lock("kav_morv_led_registers", 10000).outcome != platform::LockOutcome::taken) {
        std::fputs("lock_holder: the lock was not taken\n", stderr);
        return 1;
    }
    std::puts("held");
    static_cast<void>(std::fflush(stdout));
    platform::sleep_ms(static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)));
    platform::release_named_lock();
    return 0;
}
