// KAV_MORV_LED_ConsoleTester: sets the LED from one colour keyword, as the reference client of the
// library: load it, Init, SetLED, DeInit, unload.
#include "color_keywords.h"
#include "platform.h"
#include "program_entry.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

constexpr const char* kLibraryFileName = "kav_rv5520_led.dll";
constexpr unsigned kSettleMs = 300;

using InitEntry = std::uint8_t (*)();
using DeInitEntry = std::uint8_t (*)();
using SetLedEntry = void (*)(std::uint8_t);

// Status lines go to standard error; when it cannot take one there is no one else to tell.
void report(const char* line) {
    static_cast<void>(std::fputs(line, stderr));
}

// Returns false when standard output did not take the whole block.
bool write_usage() {
    static const char* const kUsage[] = {
        "KAV LED Test incorrect parameter, use following:", "OFF", "RED", "GREEN", "BLUE", "WHITE", "CB", "YELLOW",
        "PURPLE",
    };
    bool delivered = true;
    for (const char* line : kUsage) {
        delivered = std::fputs(line, stdout) >= 0 && std::fputc('\n', stdout) != EOF && std::fflush(stdout) == 0 &&
                    delivered;
    }
    return delivered;
}

template <typename Entry>
Entry bind(platform::LibraryHandle library, const char* name) {
    return reinterpret_cast<Entry>(platform::find_entry(library, name));
}

}  // namespace

int program_main(int argc, char** argv) {
    const platform::LibraryHandle library = platform::load_library(kLibraryFileName);
    if (library == nullptr) {
        report("Failed To Load KAV_LED_Dll Library.\n");
        report("Failed To Load Library.\n");
        return 1;
    }
    report("Load KAV_LED_Dll Library successfully.\n");

    const auto init = bind<InitEntry>(library, "Init");
    const auto deinit = bind<DeInitEntry>(library, "DeInit");
    const auto set_led = bind<SetLedEntry>(library, "SetLED");
    const char* const missing = init == nullptr     ? "Init"
                                : deinit == nullptr ? "DeInit"
                                : set_led == nullptr ? "SetLED"
                                                     : nullptr;
    if (missing != nullptr) {
        report((std::string(kLibraryFileName) + " has no entry named " + missing + ".\n").c_str());
        platform::unload_library(library);
        return 1;
    }
    platform::sleep_ms(kSettleMs);

    // The run goes on whatever Init says, so DeInit still releases what it loaded; only the exit
    // status tells a script that the colour was not applied, or that the usage block was lost.
    const bool ready = init() != 0;
    bool usage_delivered = true;
    std::uint8_t code = 0;
    if (argc == 2 && tester::find_color_code(argv[1], code)) {
        set_led(code);
    } else {
        usage_delivered = write_usage();
    }

    report(deinit() == 1 ? "Success To Unload KAV_LED_Dll Library.\n" : "Failed To Unload KAV_LED_Dll Library.\n");
    platform::sleep_ms(kSettleMs);
    platform::unload_library(library);
    return ready && usage_delivered ? 0 : 1;
}
