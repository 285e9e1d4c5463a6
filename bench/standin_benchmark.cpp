// SetLED through the real library, loaded by the real loader, over the simulated LED's stand-in:
// the thread lock, the machine-wide register lock and eight calls into the stand-in per call.
// Beside it, its floor: taking and releasing the machine-wide lock through the platform layer
// (flock, a check that the file is still linked, and the release); and, for scale, one system call
// and a bare flock pair.
//   standin_benchmark BIN_FOLDER [benchmark options]
// Point LED_SIM_STATE at a scratch file to leave the bin folder's LED alone.
#include "platform.h"

#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

using InitEntry = std::uint8_t (*)();
using SetLedEntry = void (*)(std::uint8_t);

std::string bin_folder;

void BM_SetLEDThroughStandIn(benchmark::State& state) {
    void* library = dlopen((bin_folder + "/kav_rv5520_led.dll").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        state.SkipWithError(dlerror());
        return;
    }
    const auto init = reinterpret_cast<InitEntry>(dlsym(library, "Init"));
    const auto deinit = reinterpret_cast<InitEntry>(dlsym(library, "DeInit"));
    const auto set_led = reinterpret_cast<SetLedEntry>(dlsym(library, "SetLED"));
    if (init() == 0) {
        state.SkipWithError("Init failed");
    } else {
        std::uint8_t code = 0;
        for (auto _ : state) {
            set_led(code);
            code = static_cast<std::uint8_t>((code + 1) & 7);
        }
    }
    deinit();
    dlclose(library);
}
BENCHMARK(BM_SetLEDThroughStandIn);

void BM_OneSystemCall(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(getppid());
    }
}
BENCHMARK(BM_OneSystemCall);

void BM_MachineWideLockFloor(benchmark::State& state) {
    const std::string name = "standin_benchmark_" + std::to_string(getpid());
    for (auto _ : state) {
        if (platform::acquire_named_lock(name.c_str(), 0).outcome == platform::LockOutcome::taken) {
            platform::release_named_lock();
        }
    }
    unlink(("/tmp/" + name + ".lock").c_str());
}
BENCHMARK(BM_MachineWideLockFloor);

void BM_BareFlockPair(benchmark::State& state) {
    char path[] = "/tmp/standin_benchmark_XXXXXX";
    const int fd = mkstemp(path);
    for (auto _ : state) {
        flock(fd, LOCK_EX | LOCK_NB);
        flock(fd, LOCK_UN);
    }
    close(fd);
    unlink(path);
}
BENCHMARK(BM_BareFlockPair);

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s BIN_FOLDER [benchmark options]\n", argv[0]);
        return 2;
    }
    bin_folder = argv[1];
    argv[1] = argv[0];
    --argc;
    ++argv;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
