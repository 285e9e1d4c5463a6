// A sample of the LED service's .NET client: builds with the client's source or its DLL.
//   csc Sample.cs KavMorvLed.cs        (or: mcs Sample.cs KavMorvLed.cs -r:System.Core.dll)
using System;
using KavMorvLed;

static class Sample
{
    static int Main()
    {
        var led = new Led();  // the service's pipe, or KAV_MORV_LED_ENDPOINT
        try
        {
            led.Set("green", name: "sample");
            using (led.Indication("red", name: "sample_busy", priority: 200))
                Console.WriteLine("while busy the LED shows " + led.Get());
            LedStatus status = led.Status();
            Console.WriteLine("now it shows " + status.Color + " (" + status.Showing + "), and reads back " + status.ReadBack);
            led.Clear("sample");
            return 0;
        }
        catch (LedException error)
        {
            Console.Error.WriteLine(error.Message);
            return 1;
        }
    }
}
