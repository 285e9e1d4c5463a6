/*
 * Sets the LED to green through the import library. Build it with the CMake package (see
 * CMakeLists.txt here), or link lib/kav_morv_led_dll_64.lib (Visual Studio, clang-cl) or
 * lib/libkav_morv_led_dll_64.dll.a (MinGW) yourself. kav_morv_led_dll_64.dll must be beside the
 * program, and the driver libraries beside the DLL.
 *
 * The library writes every step and every failure on standard error itself, so the program only
 * turns its results into an exit status. It calls nothing but the library, so it builds as C or
 * C++ with any C runtime, or none.
 */
#include "kav_morv_led.h"

int main(void) {
    if (!Init()) {
        DeInit(); /* a failed Init still loaded what it could */
        return 1;
    }
    SetLED(LED_COLOR_GREEN);
    return DeInit() == 1 ? 0 : 2;
}
