/*
 * kav_morv_led: sets the colour of the multi-colour LED built into this PC.
 *
 * Load the library (kav_morv_led_dll_64, also shipped as kav_rv5520_led.dll), then:
 *   Init();  SetLED(LED_COLOR_RED);  ...  DeInit();
 *
 * Errors. Init and DeInit return whether they succeeded, and write each step and each failure as
 * one line on standard error (on Windows also to the debugger output, OutputDebugStringA). After
 * a failure, GetLEDError gives the reason as one sentence that names the file concerned and what
 * the system said: the way to learn it in a program that has no console. SetLED returns nothing.
 * Only plain values cross this interface; nothing is allocated on either side.
 *
 * Lifecycle.
 * - Every Init loads WinIo64.dll and inpoutx64.dll again and asks the driver to start hardware
 *   access; every DeInit undoes one Init: call DeInit once for each Init, whatever that Init
 *   returned. Only the DeInit that undoes the last Init stops hardware access, so two parts of one
 *   program (an application and a plug-in) may each call Init and DeInit without ending the
 *   other's access. Whether stopping succeeded cannot be known: the driver does not say.
 * - A failed Init unloads nothing it loaded; the DeInit that follows releases it.
 * - SetLED does nothing before the first Init, after an Init in which WinIo64.dll did not load,
 *   and once DeInit has undone every Init. After an Init that failed for another reason
 *   (inpoutx64.dll missing, hardware access not started) it still drives the lines WinIo64.dll
 *   lets it read.
 * - Load the library under one name per process: kav_morv_led_dll_64 and kav_rv5520_led.dll are
 *   two files, so loading both gives two libraries that count their Inits apart but share one
 *   WinIo64.dll, and the last DeInit of either ends hardware access for both.
 * - Any call may overlap any other, from any thread: within a process the library runs one at a
 *   time. Across processes, SetLED takes a machine-wide lock around its four lines, so callers do
 *   not mix their colours; it waits at most 2 s for a holder that does not let go, then goes on
 *   without the lock (see SetLED).
 */
#ifndef KAV_MORV_LED_H
#define KAV_MORV_LED_H

#include <stdint.h>

#define KAV_MORV_LED_VERSION_MAJOR 1
#define KAV_MORV_LED_VERSION_MINOR 3
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

/*
 * Colour code for SetLED. Values above LED_COLOR_PURPLE select nothing. It is a uint8_t, not the
 * enum below, because the exported SetLED takes exactly one byte, and an enum's size is the
 * compiler's choice.
 */
typedef uint8_t LedColorCode;

enum LedColorCodeValue {
    LED_COLOR_OFF = 0,
    LED_COLOR_RED = 1,
    LED_COLOR_GREEN = 2,
    LED_COLOR_BLUE = 3,
    LED_COLOR_WHITE = 4,
    LED_COLOR_CB = 5, /* green and blue */
    LED_COLOR_YELLOW = 6,
    LED_COLOR_PURPLE = 7,
    LED_COLOR_UNKNOWN = 0xFF /* from GetLED: the lines show none of the eight, or cannot be read */
};

/*
 * Loads WinIo64.dll and inpoutx64.dll from this library's folder (then the program's folder and,
 * on Windows, the system folder; never the current directory), binds the physical-memory entries,
 * waits 500 ms and starts hardware access, which needs administrator rights. Returns nonzero when
 * the LED can be driven, 0 when a library did not load or hardware access did not start.
 */
KAV_MORV_LED_API uint8_t Init(void);

/*
 * Stops hardware access if this undoes the last Init, waits 200 ms and undoes one Init's loads of
 * both libraries. Returns 1 when both were unloaded, 0 otherwise (also when nothing was loaded, as
 * for a DeInit without an Init of its own). Whether hardware access stopped cannot be known, so
 * the result says nothing of it.
 */
KAV_MORV_LED_API uint8_t DeInit(void);

/*
 * Drives the four LED lines to the pattern of code, changing bit 0 of each line's register only.
 * Codes above 7 do nothing. A line whose register cannot be read is left untouched. Waits at most
 * 2 s for another process that is setting the LED; when it goes on without the machine-wide lock
 * (the wait ran out, or the lock cannot be used) it writes one line on standard error saying why.
 * Reports nothing else.
 */
KAV_MORV_LED_API void SetLED(LedColorCode code);

/*
 * Reads back what the four LED lines show, under the same locks as SetLED: the code (0 to 7) whose
 * pattern they hold, or LED_COLOR_UNKNOWN when they hold none of the eight (another program wrote
 * them) or a line cannot be read (also before Init, and once DeInit has undone every Init).
 */
KAV_MORV_LED_API uint8_t GetLED(void);

/*
 * Why the calling thread's last Init or DeInit failed, as one sentence in UTF-8 that names the
 * file concerned and gives what the system said; "" when that call succeeded, or before the
 * thread's first Init or DeInit. Never NULL.
 * Each thread has its own: a call on one thread does not change another's. The text belongs to
 * the library and stays as it is until the same thread calls Init or DeInit again; it is gone when
 * the thread ends or the library is unloaded, so copy it to keep it.
 */
KAV_MORV_LED_API const char* GetLEDError(void);

/* The exports' types, for a program that loads the library and finds them itself. */
typedef uint8_t (*LedInitEntry)(void);
typedef uint8_t (*LedDeInitEntry)(void);
typedef void (*LedSetLEDEntry)(LedColorCode code);
typedef const char* (*LedGetLEDErrorEntry)(void);
typedef uint8_t (*LedGetLEDEntry)(void);

#ifdef __cplusplus
}
#endif

#endif /* KAV_MORV_LED_H */
