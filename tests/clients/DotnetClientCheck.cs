// The .NET client against the real service (run by dotnet_client.py, which starts it): every call
// in its synchronous and asynchronous forms, the indication cleared when disposed, change events,
// and each kind of failure; then against programs in the service's place (tests/support/impostor.py)
// that answer what no service would. One line per check, "ok" or "FAIL", then the tally; exit
// status 1 on a failure.
//   mono DotnetClientCheck.exe ENDPOINT ABSENT_ENDPOINT IMPOSTORS_FOLDER
using System;
using System.Collections.Generic;
using System.Linq;
using System.IO;
using System.Threading;
using System.Threading.Tasks;
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

    // What a call threw, or returned, within its time; "still running" when it did not end.
    static object Outcome(Func<object> call, int withinMs)
    {
        Task<object> running = Task.Run(call);
        try
        {
            return running.Wait(withinMs) ? running.Result : "still running";
        }
        catch (AggregateException error)
        {
            return error.InnerException;
        }
    }

    static void Impostors(string folder)
    {
        Func<string, int, Led> at = (name, timeoutMs) => new Led(Path.Combine(folder, name + ".sock"), timeoutMs);
        var checks = new[]
        {
            Tuple.Create("a service that never answers: ServiceUnavailableException",
                         Outcome(() => at("silent", 500).Get(), 30000),
                         (Func<object, bool>)(got => got is ServiceUnavailableException)),
            Tuple.Create("a service that trickles a byte at a time: one deadline for the whole call",
                         Outcome(() => at("trickle", 1000).Get(), 10000),
                         (Func<object, bool>)(got => got is ServiceUnavailableException)),
            Tuple.Create("an error that names no command is the service's refusal",
                         Outcome(() => { at("error_dash", 20000).Set("red"); return null; }, 30000),
                         (Func<object, bool>)(got => got is ServiceRefusedException refused && refused.Command == "-")),
            Tuple.Create("JSON nested beyond reason: ProtocolException", Outcome(() => at("nested", 20000).Status(), 30000),
                         (Func<object, bool>)(got => got is ProtocolException)),
            Tuple.Create("a number beyond 64 bits: ProtocolException", Outcome(() => at("huge_number", 20000).Status(), 30000),
                         (Func<object, bool>)(got => got is ProtocolException)),
            Tuple.Create("a line longer than any reply: ProtocolException", Outcome(() => at("long_line", 20000).Get(), 30000),
                         (Func<object, bool>)(got => got is ProtocolException)),
            Tuple.Create("each field of a status in its place", Outcome(() => at("status_fields", 20000).Status(), 30000),
                         (Func<object, bool>)(got => got is LedStatus status && status.Showing == "alarm" &&
                                                     status.Owner == "alice" && status.Color == "red" &&
                                                     status.ReadBack == "green" && status.Indications[0].LeftMs == 500)),
        };
        foreach (var check in checks)
            Check(check.Item1, check.Item3(check.Item2), check.Item2);

        object events = Outcome(() =>
        {
            using (LedEvents watch = at("events", 20000).WatchAsync().Result)
            {
                var got = new List<string>();
                while (got.Count < 2 && watch.MoveNextAsync().Result)
                {
                    LedEvent e = watch.Current;
                    got.Add(string.Join(",", e.Seq, e.Event, e.Name, e.Owner, e.OwnerId, e.Showing, e.ShowingOwner, e.Color));
                }
                return string.Join(" ", got);
            }
        }, 30000);
        Check("WatchAsync: a restored event, and each field of an event in its place",
              (events as string) == "7,restored,kept,bob,1001,kept,bob,blue 8,set,alarm,alice,1000,kept,bob,blue", events);

        foreach (string name in new[] { "null_seq", "number_name" })
        {
            object ended = Outcome(() =>
            {
                var why = new TaskCompletionSource<LedException>();
                using (LedWatcher watcher = at(name, 20000).Watch())
                {
                    watcher.Ended += (sender, error) => why.TrySetResult(error);
                    return why.Task.Wait(20000) && watcher.Done.Wait(20000) && !watcher.Done.IsFaulted ? (object)why.Task.Result : "no Ended";
                }
            }, 30000);
            Check("an event of the wrong shape (" + name + "): the watcher ends with Ended and a ProtocolException",
                  ended is ProtocolException, ended);
        }

        object unanswered = Outcome(() => at("unanswered_set", 500).Indication("yellow", name: "deploy"), 30000);
        Check("an indication whose set was not answered throws ServiceUnavailableException (and is cleared: the harness looks)",
              unanswered is ServiceUnavailableException, unanswered);
    }

    static int Main(string[] arguments)
    {
        Impostors(arguments[2]);
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
