// A sample of the LED service's .NET client, from its NuGet package (lib/net46/KavMorvLed.dll):
//   mcs -r:KavMorvLed.dll Sample.cs         with Mono
//   csc /r:KavMorvLed.dll Sample.cs         on Windows; or a project with the package, dotnet build
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
