#include "led_registers.h"

#include "sim_system.h"

#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

// One line per register: "FD6E0830 44000201".
Registers parse(const std::string& contents) {
    Registers registers = kPowerOnValues;
    Registers parsed{};
    const char* cursor = contents.c_str();
    for (std::size_t line = 0; line < kLineCount; ++line) {
        unsigned address = 0;
        unsigned value = 0;
        int consumed = 0;
        if (std::sscanf(cursor, "%8x %8x\n%n", &address, &value, &consumed) != 2 || consumed == 0 ||
            address != kLineAddress[line]) {
            return registers;
        }
        parsed[line] = value;
        cursor += consumed;
    }
    return parsed;
}

std::string format(const Registers& registers) {
    std::string contents;
    for (std::size_t line = 0; line < kLineCount; ++line) {
        char text[32];
        std::snprintf(text, sizeof text, "%08X %08X\n", static_cast<unsigned>(kLineAddress[line]),
                      static_cast<unsigned>(registers[line]));
        contents += text;
    }
    return contents;
}

}  // namespace

int line_at(std::uintptr_t physical_address) {
    for (std::size_t line = 0; line < kLineCount; ++line) {
        if (physical_address == kLineAddress[line]) {
            return static_cast<int>(line);
        }
    }
    return -1;
}

std::string state_file_path() {
    if (const char* configured = std::getenv("LED_SIM_STATE")) {
        return configured;
    }
    return own_folder() + "/led_sim_state.txt";
}

bool load_registers(Registers& registers) {
    return with_locked_file(state_file_path(), [&registers](std::string& contents) {
        registers = parse(contents);
        return false;
    });
}

bool store_register(std::size_t line, std::uint32_t value) {
    return with_locked_file(state_file_path(), [line, value](std::string& contents) {
        Registers registers = parse(contents);
        registers[line] = value;
        contents = format(registers);
        return true;
    });
}

bool reset_registers() {
    return with_locked_file(state_file_path(), [](std::string& contents) {
        contents = format(kPowerOnValues);
        return true;
    });
}

}  // namespace sim
