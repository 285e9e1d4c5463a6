#include "led_registers.h"

#include "platform.h"

#include <cstdlib>

namespace sim {

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
    return std::string(platform::own_module_folder()) + "/led_sim_state.bin";
}

RegisterFile::RegisterFile()
    : file_(state_file_path(), kPowerOnValues.data(), sizeof kPowerOnValues),
      registers_(static_cast<Register*>(file_.data())) {}

}  // namespace sim
