// The cost of SetLED's own logic, beside the floor: the same eight indirect calls made directly.
#include "kav_morv_led.h"
#include "led_hardware.h"
#include "null_platform.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <mutex>
#include <string>

namespace {

// Four reads and four writes through function pointers the compiler cannot see through.
void BM_EightIndirectCallsFloor(benchmark::State& state) {
    auto get = &null_get_phys_long;
    auto set = &null_set_phys_long;
    unsigned code = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(get);
        benchmark::DoNotOptimize(set);
        for (std::size_t line = 0; line < sim::kLineCount; ++line) {
            std::uint32_t value = 0;
            if (get(sim::kLineAddress[line], &value) != 0) {
                set(sim::kLineAddress[line], (value & ~1u) | ((code >> line) & 1u));
            }
        }
        code = (code + 1) & 7;
    }
}
BENCHMARK(BM_EightIndirectCallsFloor);

// What the library's thread lock alone costs, uncontended.
void BM_MutexLockUnlock(benchmark::State& state) {
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
    }
}
BENCHMARK(BM_MutexLockUnlock);

void BM_SetLED(benchmark::State& state) {
    Init();
    const long allocations_before = heap_allocations();
    std::uint8_t code = 0;
    for (auto _ : state) {
        SetLED(code);
        code = static_cast<std::uint8_t>((code + 1) & 7);
    }
    state.counters["heap_allocations"] = static_cast<double>(heap_allocations() - allocations_before);
    DeInit();
}
BENCHMARK(BM_SetLED);

}  // namespace

BENCHMARK_MAIN();
