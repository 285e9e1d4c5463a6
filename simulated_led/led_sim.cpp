// led_sim: shows the simulated LED as a person would see it, or resets it to its power-on state.
// It decodes the lines as the hardware does (line 0 enables the LED, a channel is lit at 0), not
// through the LED library's colour table, so tests can use it as an independent witness.
#include "led_registers.h"
#include "sim_system.h"

#include <cstdio>
#include <cstring>

namespace {

struct SeenColor {
    const char* name;
    const char* rgb;  // for the terminal's dot
};

// Indexed by the lit channels: red 1, green 2, blue 4. Enabled with nothing lit is no colour.
const SeenColor kSeenColors[8] = {
    {"unknown pattern", "128;128;128"}, {"red", "255;0;0"},   {"green", "0;255;0"},   {"yellow", "255;255;0"},
    {"blue", "0;0;255"},                {"purple", "255;0;255"}, {"cyan", "0;255;255"}, {"white", "255;255;255"},
};
const SeenColor kOff = {"off", nullptr};

const SeenColor& seen_color(const sim::RegisterFile& registers) {
    const auto low = [&registers](std::size_t line) { return (registers.load(line) & 1u) == 0; };
    const unsigned lit = (low(1) ? 1u : 0u) | (low(3) ? 2u : 0u) | (low(2) ? 4u : 0u);
    if (!low(0)) {
        return lit == 0 ? kOff : kSeenColors[0];
    }
    return kSeenColors[lit];
}

int show(const sim::RegisterFile& registers) {
    const SeenColor& color = seen_color(registers);
    if (sim::stdout_is_color_terminal()) {
        if (color.rgb != nullptr) {
            std::printf("\x1b[38;2;%sm\xe2\x97\x8f\x1b[0m %s\n", color.rgb, color.name);
        } else {
            std::printf("\xe2\x97\x8b %s\n", color.name);
        }
    } else {
        std::printf("colour: %s\n", color.name);
    }
    static const char* const kRoles[sim::kLineCount] = {"enable", "red", "blue", "green"};
    for (std::size_t line = 0; line < sim::kLineCount; ++line) {
        std::printf("line %u %-6s %08X = %08X\n", static_cast<unsigned>(line), kRoles[line],
                    static_cast<unsigned>(sim::kLineAddress[line]), static_cast<unsigned>(registers.load(line)));
    }
    return 0;
}

int reset(sim::RegisterFile& registers) {
    for (std::size_t line = 0; line < sim::kLineCount; ++line) {
        registers.store(line, sim::kPowerOnValues[line]);
    }
    return show(registers);
}

}  // namespace

int main(int argc, char** argv) {
    const bool show_asked = argc == 2 && std::strcmp(argv[1], "show") == 0;
    const bool reset_asked = argc == 2 && std::strcmp(argv[1], "reset") == 0;
    if (show_asked || reset_asked) {
        sim::RegisterFile registers;
        if (!registers.usable()) {
            std::fprintf(stderr, "led_sim: cannot use the state file %s: %s\n", sim::state_file_path().c_str(),
                         registers.problem().c_str());
            return 1;
        }
        return show_asked ? show(registers) : reset(registers);
    }
    std::fprintf(stderr,
                 "usage: led_sim show    the simulated LED's colour and its four registers\n"
                 "       led_sim reset   back to the power-on state (LED off)\n"
                 "The state file is %s (LED_SIM_STATE overrides it).\n",
                 sim::state_file_path().c_str());
    return 2;
}
