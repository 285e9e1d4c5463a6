// Sets the LED to green from C# through P/Invoke. The library is 64-bit: build for x64
// (<PlatformTarget>x64</PlatformTarget>), not AnyCPU with "Prefer 32-bit". The library writes every
// step and every failure on standard error itself; GetLEDError gives the reason as one sentence.
using System;
using System.Runtime.InteropServices;
using System.Text;

static class SetLed
{
    // No extension: .NET adds the system's own (.dll on Windows, .so elsewhere).
    const string Library = "kav_morv_led_dll_64";

    [DllImport(Library)] static extern byte Init();
    [DllImport(Library)] static extern byte DeInit();
    [DllImport(Library)] static extern void SetLED(byte code);
    // What the LED's lines read back: 0 to 7, or 255 when they show none of the eight.
    [DllImport(Library)] static extern byte GetLED();
    // The text belongs to the library: take it as a pointer, so that .NET does not try to free it.
    [DllImport(Library)] static extern IntPtr GetLEDError();

    const byte LedColorGreen = 2;

    // The library's reason for the last failure, read before the next Init or DeInit replaces it.
    static string Reason()
    {
        IntPtr text = GetLEDError();
        int length = 0;
        while (Marshal.ReadByte(text, length) != 0)
        {
            length++;
        }
        byte[] bytes = new byte[length];
        Marshal.Copy(text, bytes, 0, length);
        return Encoding.UTF8.GetString(bytes);
    }

    static int Main()
    {
        if (Init() == 0)
        {
            string why = Reason();
            DeInit(); // a failed Init still loaded what it could
            Console.Error.WriteLine("The LED could not be started: " + why);
            return 1;
        }
        SetLED(LedColorGreen);
        byte shown = GetLED();
        if (DeInit() != 1)
        {
            Console.Error.WriteLine("The LED library could not unload its driver libraries: " + Reason());
            return 2;
        }
        if (shown != LedColorGreen)
        {
            Console.Error.WriteLine("The LED reads back as " + shown + ", not green: another program wrote it.");
            return 3;
        }
        return 0;
    }
}
