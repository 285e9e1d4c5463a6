// The benchmarks' way of giving what they measured: one JSON list of numbers on standard output.
#pragma once

#include <cstddef>
#include <cstdio>
#include <vector>

inline void print_times(const std::vector<double>& times) {
    std::printf("[");
    for (std::size_t index = 0; index < times.size(); ++index) {
        std::printf("%s%.1f", index == 0 ? "" : ",", times[index]);
    }
    std::printf("]\n");
}
