// The .NET client against the real service (run by dotnet_client.py, which starts it): every call
// in its synchronous and asynchronous forms, the indication cleared when disposed, change events,
// and each kind of failure. One line per check, "ok" or "FAIL", then the tally; exit status 1 on a
// failure.
//   mono DotnetClientCheck.exe ENDPOINT ABSENT_ENDPOINT
using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using KavMorvLed;

static class DotnetClientCheck
{
    static int failed, passed;

    static void Check(string what, bool held, object found)
    {
        Console.WriteLine((held ? "ok   " : "FAIL ") + what + (held ? "" : " (found " + found + ")"));
        if (held) passed++; else failed++;
    }

    // Whether the call threw T with text in its message; what it did instead.
    static Tuple<bool, string> Throws<T>(Action call, string text) where T : Exception
    {
        try
        {
            call();
            return Tuple.Create(false, "nothing thrown");
        }
        catch (T error)
        {
            return Tuple.Create(error.Message.Contains(text), error.Message);
        }
        catch (Exception error)
        {
            return Tuple.Create(false, error.GetType().Name + ": " + error.Message);
        }
    }

    static int Main(string[] arguments)
    {
        var led = new Led(arguments[0], 20000);

        led.Set("Red", name: "base", priority: 1);
        led.BlinkAsync("green", 60000, 100, name: "alarm", priority: 200, count: 3).Wait();
        LedStatus status = led.StatusAsync().Result;
        IndicationStatus alarm = status.Indications[0];
        Check("Set, BlinkAsync and StatusAsync: what the service says",
              status.Showing == "alarm" && status.Color == "green" && status.ReadBack == "green" &&
              string.Join(",", status.Indications.Select(i => i.Name)) == "alarm,base" && alarm.Cycles == 3 &&
              alarm.Steps.Count == 2 && alarm.Steps[1].Color == "off" && alarm.Steps[1].Ms == 100 && alarm.LeftMs > 0,
              status.Showing + " " + status.Color + " " + status.ReadBack);
        led.Pattern(new[] { new Step("blue", 60000), new Step("white", 5) }, name: "alarm", priority: 200, repeat: 2);
        Check("Pattern replaces under its name; GetAsync says what shows", led.GetAsync().Result == "blue", led.Get());
        led.ClearAsync("alarm").Wait();
        Check("Clear reveals what lies beneath", led.Get() == "red", led.Get());

        string inside = null;
        try
        {
            using (led.Indication("yellow", name: "build", priority: 250))
            {
                inside = led.Get();
                throw new InvalidOperationException("the build failed");
            }
        }
        catch (InvalidOperationException)
        {
        }
        Check("an indication shows while held and is cleared when disposed, also on an exception",
              inside == "yellow" && led.Get() == "red", inside + " " + led.Get());

        for (int index = 0; index < 255; index++)
            led.Set("cb", name: "n" + index);
        var refused = Throws<ServiceRefusedException>(() => led.Set("cb", name: "one_too_many"), "you have 256 indications in force");
        Check("an error reply throws ServiceRefusedException with the service's message", refused.Item1, refused.Item2);
        for (int index = 0; index < 255; index++)
            led.Clear("n" + index);

        foreach (var bad in new[] {
                     Tuple.Create("a colour", (Action)(() => led.Set("pink")), "unknown colour"),
                     Tuple.Create("a name with a space", (Action)(() => led.Set("red", name: "x priority=255")), "is not 1 to 64"),
                     Tuple.Create("a priority", (Action)(() => led.Set("red", priority: 256)), "priority 256 is not"),
                     Tuple.Create("an owner", (Action)(() => led.Clear(owner: "a b")), "is not a user's name") })
        {
            var thrown = Throws<ArgumentException>(bad.Item2, bad.Item3);
            Check(bad.Item1 + " checked before anything is sent, as ArgumentException", thrown.Item1, thrown.Item2);
        }

        var unavailable = Throws<ServiceUnavailableException>(() => new Led(arguments[1]).Get(), "kav_morv_led_service --foreground");
        Check("no service: ServiceUnavailableException says how to start it", unavailable.Item1, unavailable.Item2);

        var events = new List<LedEvent>();
        var four = new ManualResetEventSlim();
        using (LedWatcher watcher = led.Watch())
        {
            watcher.Changed += (sender, change) =>
            {
                lock (events)
                {
                    events.Add(change);
                    if (events.Count == 4) four.Set();
                }
            };
            led.Set("purple", name: "watched", priority: 210);
            led.Clear("watched");
            led.Set("white", name: "brief", priority: 220, forMs: 100);
            four.Wait(20000);
        }
        string kinds;
        lock (events)
            kinds = string.Join(" ", events.Select(e => e.Event + ":" + e.Name + ":" + e.Color));
        Check("Watch raises set, cleared and expired events, numbered one after another",
              kinds == "set:watched:purple cleared:watched:red set:brief:white expired:brief:red" &&
              events.Select((e, index) => e.Seq - index).Distinct().Count() == 1, kinds);

        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
