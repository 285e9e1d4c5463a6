// The LED service's client for .NET: sets the PC's built-in LED through the service, from C# or any
// .NET language. Each call is one request of the service's protocol (protocol.md): its arguments
// are checked one by one, the line is made from what they mean, and only a reply that parses as
// one is believed. Plain netstandard2.0: no package beyond the framework.
//
//     var led = new Led();
//     led.Set("red");
//     using (led.Indication("red", name: "build", priority: 200)) { RunTheBuild(); }
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.IO.Pipes;
using System.Linq;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using System.Threading.Tasks;

namespace KavMorvLed
{
    /// <summary>Anything that kept a request from being done.</summary>
    public class LedException : Exception
    {
        public LedException(string message) : base(message) { }
    }

    /// <summary>The service could not be reached or did not answer in time; the message says how to start it.</summary>
    public class ServiceUnavailableException : LedException
    {
        public ServiceUnavailableException(string message) : base(message) { }
    }

    /// <summary>The service answered with an error.</summary>
    public class ServiceRefusedException : LedException
    {
        public string Command { get; }
        public string ServiceMessage { get; }

        public ServiceRefusedException(string command, string message)
            : base("the LED service refused " + command + ": " + message)
        {
            Command = command;
            ServiceMessage = message;
        }
    }

    /// <summary>The service answered something that is not a reply to the request.</summary>
    public class ProtocolException : LedException
    {
        public ProtocolException(string message) : base(message) { }
    }

    public sealed class Step
    {
        public string Color { get; }
        public int Ms { get; }  // 0: a steady colour
        public Step(string color, int ms) { Color = color; Ms = ms; }
    }

    public sealed class IndicationStatus
    {
        public string Name, Owner, OwnerId, Shows;
        public int Priority;
        public IReadOnlyList<Step> Steps;
        public long? Cycles, LeftMs;  // null: until replaced or cleared
    }

    public sealed class LedStatus
    {
        public string Showing, Owner, Color;  // Showing and Owner: null with nothing in force
        public string ReadBack;               // null when the LED could not be read in time
        public IReadOnlyList<IndicationStatus> Indications;
    }

    public sealed class LedEvent : EventArgs
    {
        public long Seq;
        public string Event;  // "set", "cleared", "expired", "ended" or "restored"
        public string Name, Owner, OwnerId, Color;
        public string Showing, ShowingOwner;  // the indication that shows after it; null with none
    }

    /// <summary>The LED, through the service at an endpoint: a pipe name on Windows, a socket path elsewhere.</summary>
    public sealed class Led
    {
        public static readonly string[] Colors = { "off", "red", "green", "blue", "white", "cb", "yellow", "purple" };
        const int MaxLineBytes = 1024, MaxStepMs = 3600000, MaxCycles = 1000000, MaxForMs = int.MaxValue;
        static readonly Regex NamePattern = new Regex("^[A-Za-z0-9._-]{1,64}$");

        public string Endpoint { get; }
        public int TimeoutMs { get; }

        /// <param name="endpoint">Else KAV_MORV_LED_ENDPOINT, else the system's: the pipe kav_morv_led,
        /// or /run/kav_morv_led/led.sock.</param>
        public Led(string endpoint = null, int timeoutMs = 10000)
        {
            Endpoint = endpoint ?? Environment.GetEnvironmentVariable("KAV_MORV_LED_ENDPOINT") ?? DefaultEndpoint;
            TimeoutMs = timeoutMs;
        }

        static bool OnWindows => Environment.OSVersion.Platform == PlatformID.Win32NT;
        static string DefaultEndpoint => OnWindows ? "kav_morv_led" : "/run/kav_morv_led/led.sock";
        static string HowToStart => OnWindows
            ? "start it with 'net start kav_morv_led', or run 'kav_morv_led_service --foreground'"
            : "start it with 'systemctl start kav_morv_led', or run 'kav_morv_led_service --foreground'";
        string Address => OnWindows ? @"\\.\pipe\" + Endpoint : Endpoint;

        // Checking each argument on its own --------------------------------------------------------

        static string CheckColor(string color)
        {
            string lower = color == null ? null : color.ToLowerInvariant();
            if (lower == null || !Colors.Contains(lower))
                throw new ArgumentException("unknown colour \"" + color + "\"; one of " + string.Join(", ", Colors));
            return lower;
        }

        static int CheckNumber(int value, int least, int most, string what)
        {
            if (value < least || value > most)
                throw new ArgumentException(what + " " + value + " is not a whole number from " + least + " to " + most);
            return value;
        }

        static string CheckName(string name)
        {
            if (name == null || !NamePattern.IsMatch(name))
                throw new ArgumentException("name \"" + name + "\" is not 1 to 64 letters, digits, '.', '_' or '-'");
            return name;
        }

        static string CheckOwner(string owner)
        {
            if (owner == null || owner.Length == 0 || Encoding.UTF8.GetByteCount(owner) > 256 || owner.Any(c => c <= ' ' || c == '\x7f'))
                throw new ArgumentException("owner \"" + owner + "\" is not a user's name or id (1 to 256 bytes, no spaces)");
            return owner;
        }

        static string Showing(string name, int priority, int? forMs)
        {
            return " name=" + CheckName(name) + " priority=" + CheckNumber(priority, 0, 255, "priority") +
                   (forMs.HasValue ? " for=" + CheckNumber(forMs.Value, 1, MaxForMs, "for") : "");
        }

        // Requests, each in a synchronous and an asynchronous form ---------------------------------

        /// <summary>Shows a steady colour under a name, replacing what was there.</summary>
        public void Set(string color, string name = "default", int priority = 100, int? forMs = null) =>
            Change("set", "set " + CheckColor(color) + Showing(name, priority, forMs));
        public Task SetAsync(string color, string name = "default", int priority = 100, int? forMs = null) =>
            Task.Run(() => Set(color, name, priority, forMs));

        /// <summary>Shows a colour for onMs, then off for offMs, count times or until replaced.</summary>
        public void Blink(string color, int onMs = 500, int offMs = 500, string name = "default", int priority = 100,
                          int? forMs = null, int? count = null) =>
            Change("blink", "blink " + CheckColor(color) + " " + CheckNumber(onMs, 1, MaxStepMs, "on time") + " " +
                   CheckNumber(offMs, 1, MaxStepMs, "off time") + Showing(name, priority, forMs) +
                   (count.HasValue ? " count=" + CheckNumber(count.Value, 1, MaxCycles, "count") : ""));
        public Task BlinkAsync(string color, int onMs = 500, int offMs = 500, string name = "default", int priority = 100,
                               int? forMs = null, int? count = null) =>
            Task.Run(() => Blink(color, onMs, offMs, name, priority, forMs, count));

        /// <summary>Shows each step in turn, repeat times or for ever.</summary>
        public void Pattern(IEnumerable<Step> steps, string name = "default", int priority = 100, int? forMs = null,
                            int? repeat = null)
        {
            var words = steps.Select(step => CheckColor(step.Color) + ":" + CheckNumber(step.Ms, 1, MaxStepMs, "step time")).ToList();
            if (words.Count == 0)
                throw new ArgumentException("a pattern needs at least one step");
            Change("pattern", "pattern " + string.Join(" ", words) + Showing(name, priority, forMs) +
                   (repeat.HasValue ? " repeat=" + CheckNumber(repeat.Value, 1, MaxCycles, "repeat") : ""));
        }
        public Task PatternAsync(IEnumerable<Step> steps, string name = "default", int priority = 100, int? forMs = null,
                                 int? repeat = null) =>
            Task.Run(() => Pattern(steps, name, priority, forMs, repeat));

        /// <summary>Withdraws your indication of a name (or, for root, SYSTEM and Administrators, owner's).</summary>
        public void Clear(string name = "default", string owner = null) =>
            Change("clear", "clear name=" + CheckName(name) + (owner != null ? " owner=" + CheckOwner(owner) : ""));
        public Task ClearAsync(string name = "default", string owner = null) => Task.Run(() => Clear(name, owner));

        /// <summary>The colour shown now.</summary>
        public string Get()
        {
            string color = Ask("get", "get");
            if (!Colors.Contains(color))
                throw new ProtocolException("the LED service answered \"" + color + "\" to get");
            return color;
        }
        public Task<string> GetAsync() => Task.Run(() => Get());

        /// <summary>Every indication in force, the one showing, and what the LED reads back.</summary>
        public LedStatus Status()
        {
            string payload = Ask("status", "status");
            try
            {
                var status = (Dictionary<string, object>)Json.Parse(payload);
                var listed = ((List<object>)status["indications"]).Cast<Dictionary<string, object>>().Select(entry =>
                    new IndicationStatus
                    {
                        Name = (string)entry["name"], Owner = (string)entry["owner"], OwnerId = (string)entry["owner_id"],
                        Priority = (int)(long)entry["priority"], Shows = CheckColor((string)entry["shows"]),
                        Steps = ((List<object>)entry["steps"]).Cast<Dictionary<string, object>>()
                            .Select(step => new Step(CheckColor((string)step["color"]), (int)(long)step["ms"])).ToList(),
                        Cycles = (long?)entry["cycles"], LeftMs = (long?)entry["left_ms"],
                    }).ToList();
                return new LedStatus
                {
                    Showing = (string)status["showing"], Owner = (string)status["owner"],
                    Color = CheckColor((string)status["color"]), ReadBack = (string)status["read_back"],
                    Indications = listed,
                };
            }
            catch (Exception error) when (error is InvalidCastException || error is KeyNotFoundException ||
                                          error is FormatException || error is ArgumentException || error is NullReferenceException)
            {
                throw new ProtocolException("the LED service answered what is not a status: " + Shorten(payload));
            }
        }
        public Task<LedStatus> StatusAsync() => Task.Run(() => Status());

        /// <summary>Shows a steady colour until the returned object is disposed, then clears it, however
        /// the block that holds it ends.</summary>
        public IDisposable Indication(string color, string name = "default", int priority = 100, int? forMs = null)
        {
            Set(color, name, priority, forMs);
            return new Clearing(this, name);
        }

        /// <summary>Each change as it happens, raised as Changed on a thread of the watcher's, until
        /// the watcher is disposed or the service goes away (then Ended, with why).</summary>
        public LedWatcher Watch()
        {
            var connection = Connect();
            try
            {
                Reply(connection, "watch", "watch");
            }
            catch
            {
                connection.Dispose();
                throw;
            }
            return new LedWatcher(connection, Address);
        }

        sealed class Clearing : IDisposable
        {
            readonly Led led;
            readonly string name;
            bool cleared;
            public Clearing(Led led, string name) { this.led = led; this.name = name; }
            public void Dispose()
            {
                if (!cleared)
                {
                    cleared = true;
                    led.Clear(name);
                }
            }
        }

        // The conversation -------------------------------------------------------------------------

        internal sealed class Connection : IDisposable
        {
            readonly NamedPipeClientStream pipe;
            readonly StreamReader reader;
            public Connection(NamedPipeClientStream pipe)
            {
                this.pipe = pipe;
                reader = new StreamReader(pipe, new UTF8Encoding(false));
            }
            public void Send(string line)
            {
                byte[] bytes = Encoding.UTF8.GetBytes(line + "\n");
                pipe.Write(bytes, 0, bytes.Length);
                pipe.Flush();
            }
            // The next line; null when the connection ended first. Throws TimeoutException past the deadline.
            public string Receive(int timeoutMs)
            {
                Task<string> line = reader.ReadLineAsync();
                if (timeoutMs >= 0 && !line.Wait(timeoutMs))
                    throw new TimeoutException();
                return line.Result;
            }
            public void Dispose() { reader.Dispose(); }
        }

        Connection Connect()
        {
            // Where nothing is at the socket's path, the pipe stream would wait out its whole time.
            if (!OnWindows && !File.Exists(Endpoint))
                throw new ServiceUnavailableException("cannot reach the LED service at " + Address +
                                                      " (no such socket). Is it running? To " + HowToStart + ".");
            var pipe = new NamedPipeClientStream(".", Endpoint, PipeDirection.InOut);
            try
            {
                pipe.Connect(TimeoutMs);
                return new Connection(pipe);
            }
            catch (Exception error) when (error is IOException || error is TimeoutException ||
                                          error is UnauthorizedAccessException || error is System.Net.Sockets.SocketException)
            {
                pipe.Dispose();
                throw new ServiceUnavailableException("cannot reach the LED service at " + Address + " (" + error.Message +
                                                      "). Is it running? To " + HowToStart + ".");
            }
        }

        string Ask(string command, string line)
        {
            if (Encoding.UTF8.GetByteCount(line) > MaxLineBytes)
                throw new ArgumentException("the request is longer than the " + MaxLineBytes + " bytes the service takes in one line");
            using (var connection = Connect())
                return Reply(connection, command, line);
        }

        // The payload of the reply to line, which must be one to command.
        string Reply(Connection connection, string command, string line)
        {
            string reply;
            try
            {
                connection.Send(line);
                reply = connection.Receive(TimeoutMs);
            }
            catch (TimeoutException)
            {
                throw new ServiceUnavailableException("the LED service at " + Address + " did not answer within " + TimeoutMs + " ms");
            }
            catch (IOException error)
            {
                throw new ServiceUnavailableException("the LED service at " + Address + " went away (" + error.Message + ")");
            }
            if (reply == null)
                throw new ServiceUnavailableException("the LED service at " + Address + " closed the connection without a reply");
            if (reply == "ok")
                return "";
            if (reply.StartsWith("ok ", StringComparison.Ordinal) && reply.Length > 3)
                return reply.Substring(3);
            Match refusal = Regex.Match(reply, @"^error (\S+) (.+)$");
            if (refusal.Success && (refusal.Groups[1].Value == command || refusal.Groups[1].Value == "-"))
                throw new ServiceRefusedException(refusal.Groups[1].Value, refusal.Groups[2].Value);
            throw new ProtocolException("the LED service at " + Address + " answered what is not a reply to " + command + ": " + Shorten(reply));
        }

        void Change(string command, string line)
        {
            string payload = Ask(command, line);
            if (payload.Length > 0)
                throw new ProtocolException("the LED service answered \"" + Shorten(payload) + "\" to " + command);
        }

        internal static string Shorten(string text) => text.Length > 200 ? text.Substring(0, 200) + "..." : text;
    }

    /// <summary>A watch on the service's changes: Changed for each, Ended once when it stops.</summary>
    public sealed class LedWatcher : IDisposable
    {
        readonly Led.Connection connection;
        readonly string address;
        int disposed;
        public event EventHandler<LedEvent> Changed;
        /// <summary>Raised once when the watch ends by itself: with why (the service went away, or sent
        /// what is not an event).</summary>
        public event EventHandler<LedException> Ended;
        public Task Done { get; }

        internal LedWatcher(Led.Connection connection, string address)
        {
            this.connection = connection;
            this.address = address;
            Done = Task.Factory.StartNew(Read, TaskCreationOptions.LongRunning);
        }

        void Read()
        {
            LedException why;
            try
            {
                for (;;)
                {
                    string line = connection.Receive(-1);
                    if (line == null)
                    {
                        why = new ServiceUnavailableException("the LED service at " + address + " went away");
                        break;
                    }
                    LedEvent change = ParseEvent(line);
                    if (change == null)
                    {
                        why = new ProtocolException("the LED service sent what is not an event: " + Led.Shorten(line));
                        break;
                    }
                    var handlers = Changed;
                    if (handlers != null)
                        handlers(this, change);
                }
            }
            catch (Exception error) when (error is IOException || error is ObjectDisposedException || error is AggregateException)
            {
                why = new ServiceUnavailableException("the LED service at " + address + " went away");
            }
            if (Volatile.Read(ref disposed) == 0)
            {
                var ended = Ended;
                if (ended != null)
                    ended(this, why);
            }
        }

        static LedEvent ParseEvent(string line)
        {
            if (!line.StartsWith("event ", StringComparison.Ordinal))
                return null;
            try
            {
                var fields = (Dictionary<string, object>)Json.Parse(line.Substring(6));
                var change = new LedEvent
                {
                    Seq = (long)fields["seq"], Event = (string)fields["event"], Name = (string)fields["name"],
                    Owner = (string)fields["owner"], OwnerId = (string)fields["owner_id"],
                    Showing = (string)fields["showing"], ShowingOwner = (string)fields["showing_owner"],
                    Color = (string)fields["color"],
                };
                return Led.Colors.Contains(change.Color) ? change : null;
            }
            catch (Exception error) when (error is InvalidCastException || error is KeyNotFoundException || error is FormatException)
            {
                return null;
            }
        }

        public void Dispose()
        {
            if (Interlocked.Exchange(ref disposed, 1) == 0)
                connection.Dispose();
        }
    }

    /// <summary>Just enough JSON for the service's replies: objects, arrays, strings, whole numbers,
    /// true, false and null.</summary>
    static class Json
    {
        public static object Parse(string text)
        {
            int at = 0;
            object value = Value(text, ref at);
            Space(text, ref at);
            if (at != text.Length)
                throw new FormatException("more after the JSON value");
            return value;
        }

        static void Space(string text, ref int at)
        {
            while (at < text.Length && char.IsWhiteSpace(text[at]))
                at++;
        }

        static object Value(string text, ref int at)
        {
            Space(text, ref at);
            if (at >= text.Length)
                throw new FormatException("the JSON ends early");
            char c = text[at];
            if (c == '{')
            {
                var fields = new Dictionary<string, object>();
                at++;
                Space(text, ref at);
                if (at < text.Length && text[at] == '}') { at++; return fields; }
                for (;;)
                {
                    Space(text, ref at);
                    string key = Text(text, ref at);
                    Space(text, ref at);
                    Expect(text, ref at, ':');
                    fields[key] = Value(text, ref at);
                    Space(text, ref at);
                    if (at < text.Length && text[at] == ',') { at++; continue; }
                    Expect(text, ref at, '}');
                    return fields;
                }
            }
            if (c == '[')
            {
                var items = new List<object>();
                at++;
                Space(text, ref at);
                if (at < text.Length && text[at] == ']') { at++; return items; }
                for (;;)
                {
                    items.Add(Value(text, ref at));
                    Space(text, ref at);
                    if (at < text.Length && text[at] == ',') { at++; continue; }
                    Expect(text, ref at, ']');
                    return items;
                }
            }
            if (c == '"')
                return Text(text, ref at);
            foreach (var word in new[] { "true", "false", "null" })
            {
                if (string.CompareOrdinal(text, at, word, 0, word.Length) == 0)
                {
                    at += word.Length;
                    return word == "null" ? null : (object)(word == "true");
                }
            }
            int start = at;
            if (at < text.Length && text[at] == '-')
                at++;
            while (at < text.Length && char.IsDigit(text[at]))
                at++;
            return long.Parse(text.Substring(start, at - start), NumberStyles.AllowLeadingSign, CultureInfo.InvariantCulture);
        }

        static void Expect(string text, ref int at, char wanted)
        {
            if (at >= text.Length || text[at] != wanted)
                throw new FormatException("'" + wanted + "' expected in JSON");
            at++;
        }

        static string Text(string text, ref int at)
        {
            Expect(text, ref at, '"');
            var built = new StringBuilder();
            while (at < text.Length && text[at] != '"')
            {
                char c = text[at++];
                if (c != '\\')
                {
                    built.Append(c);
                    continue;
                }
                if (at >= text.Length)
                    break;
                char escaped = text[at++];
                switch (escaped)
                {
                    case 'n': built.Append('\n'); break;
                    case 't': built.Append('\t'); break;
                    case 'r': built.Append('\r'); break;
                    case 'b': built.Append('\b'); break;
                    case 'f': built.Append('\f'); break;
                    case 'u':
                        built.Append((char)int.Parse(text.Substring(at, 4), NumberStyles.HexNumber, CultureInfo.InvariantCulture));
                        at += 4;
                        break;
                    default: built.Append(escaped); break;
                }
            }
            Expect(text, ref at, '"');
            return built.ToString();
        }
    }
}
