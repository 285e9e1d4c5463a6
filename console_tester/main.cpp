// KAV_MORV_LED_ConsoleTester: sets the LED from one colour keyword, as the reference client of the
// library: load it, Init, SetLED, DeInit, unload.
#include "color_keywords.h"
#include "color_names.h"
#include "kav_morv_led.h"
#include "platform.h"
#include "program_entry.h"

#include <cstdio>
#include <string>

namespace {

constexpr const char* kLibraryFileName = "kav_rv5520_led.dll";
constexpr unsigned kSettleMs = 300;

// Status lines go to standard error; when it cannot take one there is no one else to tell.
void report(const char* line) {
    static_cast<void>(std::fputs(line, stderr));
}

bool write_usage_line(const char* line) {
    return std::fputs(line, stdout) >= 0 && std::fputc('\n', stdout) != EOF && std::fflush(stdout) == 0;
}

// The heading, then each colour's keyword in capitals. Returns false when standard output did not
// take the whole block.
bool write_usage() {
    bool delivered = write_usage_line("KAV LED Test incorrect parameter, use following:");
    for (const led::ColorName& color : led::kColorNames) {
        delivered = write_usage_line(color.capitals) && delivered;
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

    const auto init = bind<LedInitEntry>(library, "Init");
    const auto deinit = bind<LedDeInitEntry>(library, "DeInit");
    const auto set_led = bind<LedSetLEDEntry>(library, "SetLED");
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
    LedColorCode code = LED_COLOR_OFF;
    if (argc == 2 && tester::find_color_code(argv[1], code)) {
        // Stopped between two of the four lines, the LED would show a colour nobody asked for; a
        // request to stop takes effect once the colour is whole.
        platform::hold_interrupts();
        set_led(code);
        platform::release_interrupts();
    } else {
        usage_delivered = write_usage();
    }

    report(deinit() == 1 ? "Success To Unload KAV_LED_Dll Library.\n" : "Failed To Unload KAV_LED_Dll Library.\n");
    platform::sleep_ms(kSettleMs);
    platform::unload_library(library);
    return ready && usage_delivered ? 0 : 1;
}
