/*
 * Sets the LED to green by loading the library at run time, as the console tester does: no import
 * library, and the program still starts, and can say so, when the library is missing.
 * On Windows kav_morv_led_dll_64.dll is looked for beside the program and in the system folder
 * only; elsewhere kav_morv_led_dll_64.so is found by the system's library search.
 * Plain C89, like the header.
 */
#include "kav_morv_led.h"

#include <stdio.h>

#ifdef _WIN32
#  include <windows.h>
typedef HMODULE Library;
static Library open_library(void) {
    return LoadLibraryExW(L"kav_morv_led_dll_64.dll", NULL,
                          LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}
static void (*find_entry(Library library, const char* name))(void) {
    return (void (*)(void))GetProcAddress(library, name);
}
static void close_library(Library library) {
    FreeLibrary(library);
}
#else
#  include <dlfcn.h>
typedef void* Library;
static Library open_library(void) {
    return dlopen("kav_morv_led_dll_64.so", RTLD_NOW | RTLD_LOCAL);
}
static void (*find_entry(Library library, const char* name))(void) {
    void (*entry)(void) = NULL;
    *(void**)&entry = dlsym(library, name); /* the conversion POSIX prescribes for dlsym */
    return entry;
}
static void close_library(Library library) {
    dlclose(library);
}
#endif

/* Says why the last Init or DeInit failed. A library older than 1.1 has no GetLEDError (nor
   GetLED); its lines on standard error are then all there is. */
static void say_why(LedGetLEDErrorEntry get_error) {
    if (get_error != NULL) {
        fprintf(stderr, "Why: %s\n", get_error());
    }
}

int main(void) {
    Library library = open_library();
    LedInitEntry init;
    LedDeInitEntry deinit;
    LedSetLEDEntry set_led;
    LedGetLEDErrorEntry get_error;
    LedGetLEDEntry get_led;
    int status = 0;

    if (library == NULL) {
        fputs("The LED library could not be loaded.\n", stderr);
        return 1;
    }
    init = (LedInitEntry)find_entry(library, "Init");
    deinit = (LedDeInitEntry)find_entry(library, "DeInit");
    set_led = (LedSetLEDEntry)find_entry(library, "SetLED");
    get_error = (LedGetLEDErrorEntry)find_entry(library, "GetLEDError");
    get_led = (LedGetLEDEntry)find_entry(library, "GetLED"); /* 1.1 and later */
    if (init == NULL || deinit == NULL || set_led == NULL) {
        fputs("The LED library lacks Init, DeInit or SetLED.\n", stderr);
        close_library(library);
        return 1;
    }

    if (init()) {
        set_led(LED_COLOR_GREEN);
        if (get_led != NULL && get_led() != LED_COLOR_GREEN) {
            fputs("The LED reads back as another colour: another program wrote it.\n", stderr);
            status = 3;
        }
    } else {
        say_why(get_error); /* before DeInit, which replaces the reason */
        status = 1;
    }
    if (deinit() != 1) { /* one DeInit for each Init, whatever Init returned */
        say_why(get_error);
        status = status != 0 ? status : 2;
    }
    close_library(library);
    return status;
}
