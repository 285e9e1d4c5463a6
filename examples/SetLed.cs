// Sets the LED to green from C# through P/Invoke. The library writes every step and every failure
// on standard error itself.
using System;
using System.Runtime.InteropServices;

static class SetLed
{
    // No extension: .NET adds the system's own (.dll on Windows, .so elsewhere).
    const string Library = "kav_morv_led_dll_64";

    [DllImport(Library)] static extern byte Init();
    [DllImport(Library)] static extern byte DeInit();
    [DllImport(Library)] static extern void SetLED(byte code);

    const byte LedColorGreen = 2;

    static int Main()
    {
        if (Init() == 0)
        {
            DeInit(); // a failed Init still loaded what it could
            Console.Error.WriteLine("The LED could not be started.");
            return 1;
        }
        SetLED(LedColorGreen);
        return DeInit() == 1 ? 0 : 2;
    }
}
