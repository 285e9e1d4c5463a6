// KAV_MORV_LED_ConsoleTester: sets the LED from one colour keyword, as the reference client of the
// library: load it, Init, SetLED, DeInit, unload.
#include "color_keywords.h"
#include "platform.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr const char* kLibraryFileName = "kav_rv5520_led.dll";
constexpr unsigned kSettleMs = 300;

using InitEntry = std::uint8_t (*)();
using DeInitEntry = std::uint8_t (*)();
using SetLedEntry = void (*)(std::uint8_t);

void write_usage() {
    static const char* const kUsage[] = {
        "KAV LED Test incorrect parameter, use following:", "OFF", "RED", "GREEN", "BLUE", "WHITE", "CB", "YELLOW",
        "PURPLE",
    };
    for (const char* line : kUsage) {
        std::fputs(line, stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

template <typename Entry>
Entry bind(platform::LibraryHandle library, const char* name) {
    return reinterpret_cast<Entry>(platform::find_entry(library, name));
}

}  // namespace

int main(int argc, char** argv) {
    const platform::LibraryHandle library = platform::load_library(kLibraryFileName);
    if (library == nullptr) {
        std::fputs("Failed To Load KAV_LED_Dll Library.\n", stderr);
        std::fputs("Failed To Load Library.\n", stderr);
        return 1;
    }
    std::fputs("Load KAV_LED_Dll Library successfully.\n", stderr);

    const auto init = bind<InitEntry>(library, "Init");
    const auto deinit = bind<DeInitEntry>(library, "DeInit");
    const auto set_led = bind<SetLedEntry>(library, "SetLED");
    const char* const missing = init == nullptr     ? "Init"
                                : deinit == nullptr ? "DeInit"
                                : set_led == nullptr ? "SetLED"
                                                     : nullptr;
    if (missing != nullptr) {
        std::fprintf(stderr, "%s has no entry named %s.\n", kLibraryFileName, missing);
        platform::unload_library(library);
        return 1;
    }
    platform::sleep_ms(kSettleMs);

    // The run goes on whatever Init says, so DeInit still releases what it loaded; only the exit
    // status tells a script that the colour was not applied.
    const bool ready = init() != 0;
    std::uint8_t code = 0;
    if (argc == 2 && find_color_code(argv[1], code)) {
        set_led(code);
    } else {
        write_usage();
    }

    std::fputs(deinit() == 1 ? "Success To Unload KAV_LED_Dll Library.\n" : "Failed To Unload KAV_LED_Dll Library.\n",
               stderr);
    platform::sleep_ms(kSettleMs);
    platform::unload_library(library);
    return ready ? 0 : 1;
}
