/*
 * kav_morv_led: sets the colour of the multi-colour LED built into this PC.
 *
 * Load the library (kav_morv_led_dll_64, also shipped as kav_rv5520_led.dll), then:
 *   Init();  SetLED(LED_COLOR_RED);  ...  DeInit();
 * Progress and failures are written as lines on standard error. Only plain values cross this
 * interface; nothing is allocated on either side. Calls from several threads, or from several
 * processes at once, are serialised.
 */
#ifndef KAV_MORV_LED_H
#define KAV_MORV_LED_H

#include <stdint.h>

#define KAV_MORV_LED_VERSION_MAJOR 1
#define KAV_MORV_LED_VERSION_MINOR 0
#define KAV_MORV_LED_VERSION_PATCH 0

#if defined(_WIN32)
#  define KAV_MORV_LED_API /* the export table comes from a module-definition file */
#elif defined(__GNUC__)
#  define KAV_MORV_LED_API __attribute__((visibility("default")))
#else
#  define KAV_MORV_LED_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Colour code for SetLED. Values above LED_COLOR_PURPLE select nothing. */
typedef uint8_t LedColorCode;

enum LedColorCodeValue {
    LED_COLOR_OFF = 0,
    LED_COLOR_RED = 1,
    LED_COLOR_GREEN = 2,
    LED_COLOR_BLUE = 3,
    LED_COLOR_WHITE = 4,
    LED_COLOR_CB = 5, /* green and blue */
    LED_COLOR_YELLOW = 6,
    LED_COLOR_PURPLE = 7
};

/*
 * Loads WinIo64.dll and inpoutx64.dll from this library's folder (then the program's folder and
 * the system folders, never the current directory), binds the physical-memory entries, waits
 * 500 ms and starts hardware access. Returns nonzero when the LED can be driven, 0 when a library
 * did not load or hardware access did not start. A failed Init unloads nothing; call DeInit.
 */
KAV_MORV_LED_API uint8_t Init(void);

/*
 * Stops hardware access, waits 200 ms and unloads both libraries. Returns 1 when both were
 * unloaded, 0 otherwise (also when nothing was loaded, e.g. on a second DeInit).
 */
KAV_MORV_LED_API uint8_t DeInit(void);

/*
 * Drives the four LED lines to the pattern of code, changing bit 0 of each line's register only.
 * Codes above 7 do nothing. Does nothing when Init has not bound the hardware entries; a line
 * whose register cannot be read is left untouched. Waits at most 2 s for another process that is
 * setting the LED; after that it writes one line on standard error and goes on. Reports nothing else.
 */
KAV_MORV_LED_API void SetLED(LedColorCode code);

#ifdef __cplusplus
}
#endif

#endif /* KAV_MORV_LED_H */
