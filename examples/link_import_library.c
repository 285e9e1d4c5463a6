/*
 * Sets the LED to green through the import library. Build it with the CMake package (see
 * CMakeLists.txt here), or link lib/kav_morv_led_dll_64.lib (Visual Studio, clang-cl) or
 * lib/libkav_morv_led_dll_64.dll.a (MinGW) yourself. kav_morv_led_dll_64.dll must be beside the
 * program, and the driver libraries beside the DLL.
 *
 * The library writes every step and every failure on standard error itself; a program without a
 * console learns why a call failed from GetLEDError. This example calls nothing but the library,
 * so it builds as C or C++ with any C runtime, or none.
 */
#include "kav_morv_led.h"

/* Copies the library's reason for the last failure, cut to fit. GetLEDError's text is replaced by
   the thread's next Init or DeInit, so a reason to be shown later must be copied first. */
static void keep_reason(char* reason, unsigned size) {
    const char* text = GetLEDError();
    unsigned length = 0;
    while (text[length] != '\0' && length + 1 < size) {
        reason[length] = text[length];
        ++length;
    }
    reason[length] = '\0';
}

/* Sets the LED to green and reads it back. Returns 0; 1 when it could not (with the reason in
   `reason`); 3 when the lines read back as something else (another program wrote them). */
static int set_green(char* reason, unsigned size) {
    int status = 0;
    if (!Init()) {
        keep_reason(reason, size);
        DeInit(); /* a failed Init still loaded what it could */
        return 1;
    }
    SetLED(LED_COLOR_GREEN);
    if (GetLED() != LED_COLOR_GREEN) {
        status = 3;
    }
    if (DeInit() != 1) {
        keep_reason(reason, size);
        return 1;
    }
    return status;
}

int main(void) {
    char reason[512];
    /* A program with a window would show `reason` to its user when this is not 0. */
    return set_green(reason, sizeof reason);
}
