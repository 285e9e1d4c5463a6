"""Every line the console tester and the library write, exactly as they write them (without the
end-of-line). The one Python copy; the end-to-end table and the foreign clients import it."""

# The tester's own lines.
LOADED = "Load KAV_LED_Dll Library successfully."
LIBRARY_MISSING = ["Failed To Load KAV_LED_Dll Library.", "Failed To Load Library."]
UNLOADED = "Success To Unload KAV_LED_Dll Library."
NOT_UNLOADED = "Failed To Unload KAV_LED_Dll Library."
USAGE = ["KAV LED Test incorrect parameter, use following:",
         "OFF", "RED", "GREEN", "BLUE", "WHITE", "CB", "YELLOW", "PURPLE"]

# The library's lines.
LOADING = "InitDll :: Loading WinIo64.dll."
WINIO_LOADED = "InitDll :: Load WinIo.dll Library successfully."
WINIO_NOT_LOADED = "InitDll :: Failed To Load WinIo.dll Library."
PORT_IO_LOADED = "InitDll :: Load inpout32 Library successfully."
PORT_IO_NOT_LOADED = "InitDll :: Failed To Load inpout32 Library."
STARTED = "Init :: InitializeWinIo successfully."
NOT_STARTED = "Init :: Fail to InitializeWinIo."
LOAD_FAILED_TAIL = "Init :: Failed To Load WinIo64.dll Library."
UNLOADS_FAILED = "DeInit :: Failed To Unload dll Libraries."
LOCK_TIMED_OUT = "SetLED :: Could not take the LED register lock within 2000 ms; going on without it."

INIT_LINES = [LOADING, WINIO_LOADED, PORT_IO_LOADED, STARTED]
LIBRARY_LINES = {LOADING, WINIO_LOADED, WINIO_NOT_LOADED, PORT_IO_LOADED, PORT_IO_NOT_LOADED, STARTED, NOT_STARTED,
                 LOAD_FAILED_TAIL, UNLOADS_FAILED, LOCK_TIMED_OUT}
