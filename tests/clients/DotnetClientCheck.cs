// The .NET client's check, run by dotnet_client.py:
//   mono DotnetClientCheck.exe cases FOLDER < CASES   each case of the impostors' table (one per line, as
//       impostor.call_words writes it) against its impostor at FOLDER/NAME.sock; one line for each:
//       NAME, outcome, what it returned as JSON and the error's message, tab-separated; a watch twice,
//       through LedEvents and then LedWatcher (NAME/watcher). dotnet_client.py judges them.
//   mono DotnetClientCheck.exe abandon ENDPOINT       holds an indication and is killed in its block
//   mono DotnetClientCheck.exe service ENDPOINT       every call against the real service, one line per
//       check, "ok" or "FAIL", then the tally; exit status 1 on a failure.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using KavMorvLed;

sealed class BlockFailedException : Exception
{
    public BlockFailedException() : base("the block failed") { }
}

static class DotnetClientCheck
{
    const int DeadlineMs = 30000;  // for what a case's call may take, however busy the machine: past it, the call hangs

    static bool WaitUntil(Func<bool> condition)
    {
        var clock = Stopwatch.StartNew();
        while (!condition())
        {
            if (clock.ElapsedMilliseconds > DeadlineMs)
                return false;
            Thread.Sleep(20);
        }
        return true;
    }

    // The impostors' cases ---------------------------------------------------------------------

    static string Quote(string text)
    {
        if (text == null)
            return "null";
        var quoted = new StringBuilder("\"");
        foreach (char c in text)
            quoted.Append(c < ' ' || c > '~' || c == '"' || c == '\\' ? "\\u" + ((int)c).ToString("x4") : c.ToString());
        return quoted.Append('"').ToString();
    }

    static string Number(long? value) => value.HasValue ? value.Value.ToString(CultureInfo.InvariantCulture) : "null";

    static string Render(LedStatus s) =>
        "{\"showing\":" + Quote(s.Showing) + ",\"owner\":" + Quote(s.Owner) + ",\"color\":" + Quote(s.Color) +
        ",\"read_back\":" + Quote(s.ReadBack) + ",\"indications\":[" + string.Join(",", s.Indications.Select(i =>
            "{\"name\":" + Quote(i.Name) + ",\"owner\":" + Quote(i.Owner) + ",\"owner_id\":" + Quote(i.OwnerId) +
            ",\"priority\":" + Number(i.Priority) + ",\"steps\":[" +
            string.Join(",", i.Steps.Select(step => "{\"color\":" + Quote(step.Color) + ",\"ms\":" + Number(step.Ms) + "}")) +
            "],\"cycles\":" + Number(i.Cycles) + ",\"shows\":" + Quote(i.Shows) + ",\"left_ms\":" + Number(i.LeftMs) + "}")) + "]}";

    static string Render(LedEvent e) =>
        "{\"seq\":" + Number(e.Seq) + ",\"event\":" + Quote(e.Event) + ",\"name\":" + Quote(e.Name) + ",\"owner\":" +
        Quote(e.Owner) + ",\"owner_id\":" + Quote(e.OwnerId) + ",\"showing\":" + Quote(e.Showing) +
        ",\"showing_owner\":" + Quote(e.ShowingOwner) + ",\"color\":" + Quote(e.Color) + "}";

    static string OutcomeOf(Exception error)
    {
        if (error is ServiceUnavailableException) return "unavailable";
        if (error is ServiceRefusedException) return "refused";
        if (error is ProtocolException) return "protocol";
        if (error is ArgumentException) return "argument";
        if (error is OperationCanceledException) return "interrupted";
        if (error is BlockFailedException) return "block";
        return error.GetType().Name;
    }

    static string[] Asked(string path) => File.Exists(path + ".asked") ? File.ReadAllLines(path + ".asked") : new string[0];

    // Follows a watch into events until it ends; disposes it from another thread once it has closeAfter.
    static string Follow(Led led, List<LedEvent> events, int closeAfter)
    {
        using (LedEvents watch = led.WatchAsync().GetAwaiter().GetResult())
        {
            if (closeAfter > 0)
                Task.Run(() => { if (WaitUntil(() => { lock (events) return events.Count >= closeAfter; })) watch.Dispose(); });
            while (watch.MoveNextAsync().GetAwaiter().GetResult())
                lock (events)
                    events.Add(watch.Current);
            return "closed";
        }
    }

    static string Watched(Led led, List<LedEvent> events, int closeAfter)
    {
        var ended = new TaskCompletionSource<LedException>();
        using (LedWatcher watcher = led.Watch())
        {
            watcher.Changed += (sender, change) => { lock (events) events.Add(change); };
            watcher.Ended += (sender, why) => ended.TrySetResult(why);
            if (closeAfter == 0)
            {
                if (!ended.Task.Wait(DeadlineMs))
                    return "hung";
                throw ended.Task.Result;
            }
            if (!WaitUntil(() => { lock (events) return events.Count >= closeAfter; }))
                return "hung";
            watcher.Dispose();
            return !watcher.Done.Wait(DeadlineMs) ? "hung" : ended.Task.IsCompleted ? "Ended after Dispose" : "closed";
        }
    }

    // Holds an indication while a block runs: one that throws, or waits for `sets` sets to be asked,
    // or until `until_ms` after it began.
    static void Hold(Led led, Dictionary<string, string> call, string path)
    {
        using (var cancel = new CancellationTokenSource())
        {
            if (call.ContainsKey("interrupt"))
                Task.Run(() => { if (WaitUntil(() => Asked(path).Any(line => line.StartsWith("set ")))) cancel.Cancel(); });
            using (led.IndicationAsync(call["color"], Text(call, "name") ?? "default", Int(call, "priority") ?? 100, Int(call, "for_ms"),
                                       Int(call, "lease_ms") ?? Led.DefaultLeaseMs, cancel.Token).GetAwaiter().GetResult())
            {
                var began = Stopwatch.StartNew();
                if (Text(call, "block") == "raise")
                    throw new BlockFailedException();
                WaitUntil(() => Asked(path).Count(line => line.StartsWith("set ")) >= (Int(call, "sets") ?? 0));
                WaitUntil(() => began.ElapsedMilliseconds >= (Int(call, "until_ms") ?? 0));
            }
        }
    }

    static string Text(Dictionary<string, string> call, string key) => call.TryGetValue(key, out string value) ? value : null;

    static int? Int(Dictionary<string, string> call, string key) =>
        call.TryGetValue(key, out string value) ? int.Parse(value, CultureInfo.InvariantCulture) : (int?)null;

    static IEnumerable<Step> Steps(string steps) =>
        steps.Split(new[] { ',' }, StringSplitOptions.RemoveEmptyEntries)
             .Select(step => new Step(step.Split(':')[0], int.Parse(step.Split(':')[1], CultureInfo.InvariantCulture)));

    // Outcome, what it returned (JSON) and the error's message.
    static string[] Run(string path, Dictionary<string, string> call, bool throughWatcher)
    {
        var led = new Led(path, Int(call, "timeout_ms") ?? 20000);
        string name = Text(call, "name") ?? "default", outcome = "ok", value = "null", message = "";
        int priority = Int(call, "priority") ?? 100;
        var events = new List<LedEvent>();
        try
        {
            switch (call["call"])
            {
                case "get": value = Quote(led.Get()); break;
                case "status": value = Render(led.Status()); break;
                case "set": led.Set(call["color"], name, priority, Int(call, "for_ms")); break;
                case "blink":
                    led.Blink(call["color"], Int(call, "on_ms") ?? 500, Int(call, "off_ms") ?? 500, name, priority,
                              Int(call, "for_ms"), Int(call, "count"));
                    break;
                case "pattern": led.Pattern(Steps(call["steps"]), name, priority, Int(call, "for_ms"), Int(call, "repeat")); break;
                case "clear": led.Clear(name, Text(call, "owner")); break;
                case "watch":
                    outcome = throughWatcher ? Watched(led, events, Int(call, "close_after") ?? 0)
                                             : Follow(led, events, Int(call, "close_after") ?? 0);
                    break;
                case "indication": Hold(led, call, path); break;
                default: throw new InvalidOperationException("no call " + call["call"]);
            }
        }
        catch (Exception error)
        {
            outcome = OutcomeOf(error);
            message = error.Message;
            if (error is ServiceRefusedException refused)
                message += " [" + refused.Command + "] [" + refused.ServiceMessage + "]";
        }
        if (call["call"] == "watch")
            lock (events)
                value = "[" + string.Join(",", events.Select(Render)) + "]";
        return new[] { outcome, value, message };
    }

    static string[] WithinDeadline(Func<string[]> run)
    {
        Task<string[]> running = Task.Run(run);
        return running.Wait(DeadlineMs) ? running.Result : new[] { "hung", "null", "still running after " + DeadlineMs + " ms" };
    }

    static int Cases(string folder)
    {
        for (string line; (line = Console.In.ReadLine()) != null;)
        {
            string[] words = line.Split('\t');
            var call = words.Skip(1).ToDictionary(word => word.Substring(0, word.IndexOf('=')),
                                                  word => Uri.UnescapeDataString(word.Substring(word.IndexOf('=') + 1)));
            string path = Path.Combine(folder, words[0] + ".sock");
            foreach (bool throughWatcher in call["call"] == "watch" ? new[] { false, true } : new[] { false })
            {
                string[] came = WithinDeadline(() => Run(path, call, throughWatcher));
                Console.WriteLine(words[0] + (throughWatcher ? "/watcher" : "") + "\t" +
                                  string.Join("\t", came.Select(text => new string(text.Select(c => c < ' ' ? ' ' : c).ToArray()))));
            }
        }
        return 0;
    }

    // The real service ---------------------------------------------------------------------------

    static int failed, passed;

    static void Check(string what, bool held, object found)
    {
        Console.WriteLine((held ? "ok   " : "FAIL ") + what + (held ? "" : " (found " + found + ")"));
        if (held) passed++; else failed++;
    }

    static int Service(string endpoint)
    {
        var led = new Led(endpoint, 20000);
        long? left = led.Status().Indications.Where(i => i.Name == "abandoned").Select(i => i.LeftMs).FirstOrDefault();
        Check("a program killed holding an indication leaves it for its lease, not for good",
              left > 0 && left <= Led.DefaultLeaseMs, Number(left));
        led.Clear("abandoned");

        led.Set("Red", name: "base", priority: 1);
        led.BlinkAsync("green", 60000, 100, name: "alarm", priority: 200, count: 3).Wait();
        LedStatus status = led.StatusAsync().Result;
        IndicationStatus alarm = status.Indications[0];
        Check("Set, BlinkAsync and StatusAsync: what the service says",
              status.Showing == "alarm" && status.Color == "green" && status.ReadBack == "green" &&
              string.Join(",", status.Indications.Select(i => i.Name)) == "alarm,base" && alarm.Cycles == 3 &&
              alarm.Steps.Count == 2 && alarm.Steps[1].Color == "off" && alarm.Steps[1].Ms == 100 && alarm.LeftMs > 0,
              Render(status));
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
        string refused = "nothing thrown";
        try
        {
            led.Set("cb", name: "one_too_many");
        }
        catch (LedException error)
        {
            refused = error.GetType().Name + ": " + error.Message;
        }
        Check("an error reply throws ServiceRefusedException with the service's message",
              refused.StartsWith("ServiceRefusedException") && refused.Contains("you have 256 indications in force"), refused);
        for (int index = 0; index < 255; index++)
            led.Clear("n" + index);

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
            four.Wait(DeadlineMs);
        }
        string kinds;
        lock (events)
            kinds = string.Join(" ", events.Select(e => e.Event + ":" + e.Name + ":" + e.Color));
        Check("Watch raises set, cleared and expired events, numbered one after another",
              kinds == "set:watched:purple cleared:watched:red set:brief:white expired:brief:red" &&
              events.Select((e, index) => e.Seq - index).Distinct().Count() == 1, kinds);

        var leased = new List<string>();
        var renewed = new ManualResetEventSlim();
        using (LedWatcher watcher = led.Watch())
        {
            watcher.Changed += (sender, change) =>
            {
                if (change.Name != "leased")
                    return;
                lock (leased)
                {
                    leased.Add(change.Event);
                    if (leased.Count(kind => kind == "set") == 4) renewed.Set();
                }
            };
            using (led.Indication("cb", name: "leased", priority: 230, leaseMs: 1000))
                renewed.Wait(DeadlineMs);
        }
        string leaseKinds;
        lock (leased)
            leaseKinds = string.Join(" ", leased);
        Check("a held indication is set again before its lease runs out, never lapsing in between",
              renewed.IsSet && !leaseKinds.Contains("expired"), leaseKinds);

        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }

    static int Abandon(string endpoint)
    {
        using (new Led(endpoint).Indication("white", name: "abandoned", priority: 250))
            Process.GetCurrentProcess().Kill();
        return 0;
    }

    static int Main(string[] arguments)
    {
        switch (arguments[0])
        {
            case "cases": return Cases(arguments[1]);
            case "abandon": return Abandon(arguments[1]);
            default: return Service(arguments[1]);
        }
    }
}
