// A program for the triggers' tests to check, built for each system the tests run on.
//   probe exit-as FILE    exits with the status FILE holds, or runs until killed if it holds "hang"
//   probe run             runs until killed (a process to be found by its name)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

[[noreturn]] void run_until_killed() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "exit-as" && argc == 3) {
        std::ifstream file(argv[2]);
        std::string status;
        file >> status;
        if (status == "hang") {
            run_until_killed();
        }
        return std::atoi(status.c_str());
    }
    if (command == "run" && argc == 2) {
        run_until_killed();
    }
    std::fputs("usage: probe exit-as FILE | probe run\n", stderr);
    return 2;
}
