// The LED service's client for .NET: sets the PC's built-in LED through the service, from C# or any
// .NET language. Each call is one request of the service's protocol (protocol.md): its arguments
// are checked one by one, the line is made from what they mean, and only a reply that parses as
// one is believed. Every call is asynchronous underneath, with one deadline for the whole call and
// a CancellationToken; the synchronous forms wait for it.
//
//     var led = new Led();
//     await led.SetAsync("red");
//     using (led.Indication("red", name: "build", priority: 200)) { RunTheBuild(); }
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.IO.Pipes;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using System.Threading.Tasks;

namespace KavMorvLed
{
    /// <summary>Anything that kept a request from being done.</summary>
    public class LedException : Exception
    {
        /// <summary>An error with what went wrong.</summary>
        public LedException(string message) : base(message) { }
    }

    /// <summary>The service could not be reached or did not answer in time; the message says how to start it.</summary>
    public class ServiceUnavailableException : LedException
    {
        /// <summary>An error with what went wrong.</summary>
        public ServiceUnavailableException(string message) : base(message) { }
    }

    /// <summary>The service answered with an error.</summary>
    public class ServiceRefusedException : LedException
    {
        /// <summary>The command word the error names ("set", ...), or "-" when it names none.</summary>
        public string Command { get; }
        /// <summary>What the service said is wrong.</summary>
        public string ServiceMessage { get; }

        /// <summary>The service's error to a request.</summary>
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
        /// <summary>An error with what was answered.</summary>
        public ProtocolException(string message) : base(message) { }
    }

    /// <summary>One step of what an indication shows: a colour for a while.</summary>
    public sealed class Step
    {
        /// <summary>One of <see cref="Led.Colors"/>.</summary>
        public string Color { get; }
        /// <summary>How long it shows, in milliseconds; 0 for a steady colour.</summary>
        public int Ms { get; }
        /// <summary>A step of a pattern.</summary>
        public Step(string color, int ms) { Color = color; Ms = ms; }
    }

    /// <summary>An indication in force, as status tells it.</summary>
    public sealed class IndicationStatus
    {
        /// <summary>Its name.</summary>
        public string Name { get; internal set; }
        /// <summary>Its owner's name.</summary>
        public string Owner { get; internal set; }
        /// <summary>Its owner's id: a uid, or a SID on Windows.</summary>
        public string OwnerId { get; internal set; }
        /// <summary>The colour it shows now.</summary>
        public string Shows { get; internal set; }
        /// <summary>0 to 255; the highest shows.</summary>
        public int Priority { get; internal set; }
        /// <summary>Its steps; a steady colour is one step of 0 ms.</summary>
        public IReadOnlyList<Step> Steps { get; internal set; }
        /// <summary>How often its steps run; null: until replaced.</summary>
        public long? Cycles { get; internal set; }
        /// <summary>Milliseconds it has left; null: until replaced or cleared.</summary>
        public long? LeftMs { get; internal set; }
    }

    /// <summary>Everything in force, the one showing, and what the LED reads back.</summary>
    public sealed class LedStatus
    {
        /// <summary>The name of the indication shown; null with none.</summary>
        public string Showing { get; internal set; }
        /// <summary>Its owner's name; null with none.</summary>
        public string Owner { get; internal set; }
        /// <summary>The colour shown now.</summary>
        public string Color { get; internal set; }
        /// <summary>What the LED's lines hold ("unknown" for none of the colours); null when it could not be read in time.</summary>
        public string ReadBack { get; internal set; }
        /// <summary>Every indication in force, the one showing first.</summary>
        public IReadOnlyList<IndicationStatus> Indications { get; internal set; }
    }

    /// <summary>A change of what is in force, as a watch tells it.</summary>
    public sealed class LedEvent : EventArgs
    {
        /// <summary>Counts every event of the service, one by one: a gap means one was missed.</summary>
        public long Seq { get; internal set; }
        /// <summary>"set", "cleared", "expired", "ended" or "restored".</summary>
        public string Event { get; internal set; }
        /// <summary>The indication's name.</summary>
        public string Name { get; internal set; }
        /// <summary>The indication's owner's name.</summary>
        public string Owner { get; internal set; }
        /// <summary>The indication's owner's id.</summary>
        public string OwnerId { get; internal set; }
        /// <summary>What the LED shows after the change.</summary>
        public string Color { get; internal set; }
        /// <summary>The indication that shows after the change; null with none.</summary>
        public string Showing { get; internal set; }
        /// <summary>Its owner's name; null with none.</summary>
        public string ShowingOwner { get; internal set; }
    }

    /// <summary>The LED, through the service at an endpoint: a pipe name on Windows, a socket path elsewhere.</summary>
    public sealed class Led
    {
        /// <summary>The colours, as the service names them.</summary>
        public static readonly IReadOnlyList<string> Colors =
            new[] { "off", "red", "green", "blue", "white", "cb", "yellow", "purple" };
        internal const int MaxLineBytes = 1024, MaxStepMs = 3600000, MaxCycles = 1000000, MaxForMs = int.MaxValue;
        internal const int MaxNameBytes = 64, MaxOwnerBytes = 256;
        /// <summary>How long an indication outlives a holder that cannot clear it, unless told otherwise.</summary>
        public const int DefaultLeaseMs = 30000;
        internal const int MinLeaseMs = 1000;
        // \z, not $: $ also matches before a last line feed, which would end the request early.
        static readonly Regex NamePattern = new Regex(@"^[A-Za-z0-9._-]{1," + MaxNameBytes + @"}\z");

        /// <summary>The pipe name or socket path of the service.</summary>
        public string Endpoint { get; }
        /// <summary>How long each call may take in all, in milliseconds.</summary>
        public int TimeoutMs { get; }

        /// <param name="endpoint">Else KAV_MORV_LED_ENDPOINT, else the system's: the pipe kav_morv_led,
        /// or /run/kav_morv_led/led.sock.</param>
        /// <param name="timeoutMs">How long each call may take in all.</param>
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
        internal string Address => OnWindows ? @"\\.\pipe\" + Endpoint : Endpoint;

        // Checking each argument on its own --------------------------------------------------------

        static string CheckColor(string color)
        {
            string lower = color?.ToLowerInvariant();
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
            if (owner == null || owner.Length == 0 || Encoding.UTF8.GetByteCount(owner) > MaxOwnerBytes ||
                owner.Any(c => c <= ' ' || c == '\x7f'))
                throw new ArgumentException("owner \"" + owner + "\" is not a user's name or id (1 to 256 bytes, no spaces)");
            return owner;
        }

        static string Showing(string name, int priority, int? forMs)
        {
            return " name=" + CheckName(name) + " priority=" + CheckNumber(priority, 0, 255, "priority") +
                   (forMs.HasValue ? " for=" + CheckNumber(forMs.Value, 1, MaxForMs, "for") : "");
        }

        // Requests: each asynchronous, and synchronous as well -------------------------------------

        /// <summary>Shows a steady colour under a name, replacing what was there.</summary>
        public Task SetAsync(string color, string name = "default", int priority = 100, int? forMs = null,
                             CancellationToken cancel = default(CancellationToken)) =>
            ChangeAsync("set", "set " + CheckColor(color) + Showing(name, priority, forMs), cancel);
        /// <summary>Shows a steady colour under a name, replacing what was there.</summary>
        public void Set(string color, string name = "default", int priority = 100, int? forMs = null) =>
            Wait(SetAsync(color, name, priority, forMs));

        /// <summary>Shows a colour for onMs, then off for offMs, count times or until replaced.</summary>
        public Task BlinkAsync(string color, int onMs = 500, int offMs = 500, string name = "default", int priority = 100,
                               int? forMs = null, int? count = null, CancellationToken cancel = default(CancellationToken)) =>
            ChangeAsync("blink", "blink " + CheckColor(color) + " " + CheckNumber(onMs, 1, MaxStepMs, "on time") + " " +
                        CheckNumber(offMs, 1, MaxStepMs, "off time") + Showing(name, priority, forMs) +
                        (count.HasValue ? " count=" + CheckNumber(count.Value, 1, MaxCycles, "count") : ""), cancel);
        /// <summary>Shows a colour for onMs, then off for offMs, count times or until replaced.</summary>
        public void Blink(string color, int onMs = 500, int offMs = 500, string name = "default", int priority = 100,
                          int? forMs = null, int? count = null) =>
            Wait(BlinkAsync(color, onMs, offMs, name, priority, forMs, count));

        /// <summary>Shows each step in turn, repeat times or for ever.</summary>
        public Task PatternAsync(IEnumerable<Step> steps, string name = "default", int priority = 100, int? forMs = null,
                                 int? repeat = null, CancellationToken cancel = default(CancellationToken))
        {
            var words = steps.Select(step => CheckColor(step.Color) + ":" + CheckNumber(step.Ms, 1, MaxStepMs, "step time")).ToList();
            if (words.Count == 0)
                throw new ArgumentException("a pattern needs at least one step");
            return ChangeAsync("pattern", "pattern " + string.Join(" ", words) + Showing(name, priority, forMs) +
                               (repeat.HasValue ? " repeat=" + CheckNumber(repeat.Value, 1, MaxCycles, "repeat") : ""), cancel);
        }
        /// <summary>Shows each step in turn, repeat times or for ever.</summary>
        public void Pattern(IEnumerable<Step> steps, string name = "default", int priority = 100, int? forMs = null,
                            int? repeat = null) =>
            Wait(PatternAsync(steps, name, priority, forMs, repeat));

        /// <summary>Withdraws your indication of a name (or, for root, SYSTEM and Administrators, owner's).</summary>
        public Task ClearAsync(string name = "default", string owner = null, CancellationToken cancel = default(CancellationToken)) =>
            ChangeAsync("clear", "clear name=" + CheckName(name) + (owner != null ? " owner=" + CheckOwner(owner) : ""), cancel);
        /// <summary>Withdraws your indication of a name (or, for root, SYSTEM and Administrators, owner's).</summary>
        public void Clear(string name = "default", string owner = null) => Wait(ClearAsync(name, owner));

        /// <summary>The colour shown now.</summary>
        public async Task<string> GetAsync(CancellationToken cancel = default(CancellationToken))
        {
            string color = await AskAsync("get", "get", cancel).ConfigureAwait(false);
            if (!Colors.Contains(color))
                throw new ProtocolException("the LED service answered \"" + Shorten(color) + "\" to get");
            return color;
        }
        /// <summary>The colour shown now.</summary>
        public string Get() => Wait(GetAsync());

        /// <summary>Every indication in force, the one showing, and what the LED reads back.</summary>
        public async Task<LedStatus> StatusAsync(CancellationToken cancel = default(CancellationToken))
        {
            string payload = await AskAsync("status", "status", cancel).ConfigureAwait(false);
            try
            {
                return Replies.Status(Json.Parse(payload));
            }
            catch (FormatException error)
            {
                throw new ProtocolException("the LED service answered what is not a status (" + error.Message + "): " + Shorten(payload));
            }
        }
        /// <summary>Every indication in force, the one showing, and what the LED reads back.</summary>
        public LedStatus Status() => Wait(StatusAsync());

        /// <summary>Shows a steady colour until the returned object is disposed (for at most forMs), then
        /// clears it, however the block that holds it ends. A set that failed once sent, or was cancelled,
        /// may still be in force, so it is cleared then too before the exception goes on. What this
        /// program cannot clear (it was killed, the service could not be reached) ends on its own: the
        /// indication expires leaseMs after it was last set, and is set again every third of that while
        /// it is held. Disposing it throws nothing: a clear that fails leaves it to its lease.</summary>
        public async Task<IDisposable> IndicationAsync(string color, string name = "default", int priority = 100,
                                                       int? forMs = null, int leaseMs = DefaultLeaseMs,
                                                       CancellationToken cancel = default(CancellationToken))
        {
            var lease = new Lease(CheckNumber(leaseMs, MinLeaseMs, MaxForMs, "lease"), forMs);
            // Its arguments are checked as it is called, before anything is sent: when they are wrong, there
            // is nothing to clear.
            Task set = SetAsync(color, name, priority, lease.FirstMs, cancel);
            try
            {
                await set.ConfigureAwait(false);
            }
            catch
            {
                await ClearQuietlyAsync(name).ConfigureAwait(false);
                throw;
            }
            // Each set again waits no longer than a third of a lease, so that a slow one leaves time for the next.
            var again = new Led(Endpoint, Math.Min(TimeoutMs, leaseMs / 3));
            lease.Keep(async ms =>
            {
                try
                {
                    await again.SetAsync(color, name, priority, ms).ConfigureAwait(false);
                }
                catch (LedException)
                {
                }
            });
            return new HeldIndication(this, name, lease);
        }
        /// <summary>Shows a steady colour until the returned object is disposed, then clears it.</summary>
        public IDisposable Indication(string color, string name = "default", int priority = 100, int? forMs = null,
                                      int leaseMs = DefaultLeaseMs) =>
            Wait(IndicationAsync(color, name, priority, forMs, leaseMs));

        // 1.3.0's forms, for programs built against them and calls that give the token in its place.
        /// <summary>As IndicationAsync with the default lease.</summary>
        public Task<IDisposable> IndicationAsync(string color, string name, int priority, int? forMs, CancellationToken cancel) =>
            IndicationAsync(color, name, priority, forMs, DefaultLeaseMs, cancel);
        /// <summary>As Indication with the default lease.</summary>
        public IDisposable Indication(string color, string name, int priority, int? forMs) =>
            Indication(color, name, priority, forMs, DefaultLeaseMs);

        /// <summary>Each change from now on, as it comes: await MoveNextAsync for the next, then read
        /// Current; dispose it to end the watch.</summary>
        public async Task<LedEvents> WatchAsync(CancellationToken cancel = default(CancellationToken))
        {
            using (CancellationTokenSource deadline = Deadline(cancel))
            {
                Connection connection = await ConnectAsync(deadline.Token).ConfigureAwait(false);
                try
                {
                    string payload = await ReplyAsync(connection, "watch", "watch", deadline.Token).ConfigureAwait(false);
                    if (payload.Length > 0)
                        throw new ProtocolException("the LED service answered \"" + Shorten(payload) + "\" to watch");
                }
                catch (OperationCanceledException) when (!cancel.IsCancellationRequested)
                {
                    connection.Dispose();
                    throw NoAnswer();
                }
                catch
                {
                    connection.Dispose();
                    throw;
                }
                return new LedEvents(connection, Address);
            }
        }

        /// <summary>Each change as it happens, raised as Changed on a thread of the watcher's, until
        /// the watcher is disposed or the watch ends (then Ended, once, with why).</summary>
        public LedWatcher Watch() => new LedWatcher(Wait(WatchAsync()));

        sealed class HeldIndication : IDisposable
        {
            readonly Led led;
            readonly string name;
            readonly Lease lease;
            int cleared;
            public HeldIndication(Led led, string name, Lease lease) { this.led = led; this.name = name; this.lease = lease; }
            public void Dispose()
            {
                if (Interlocked.Exchange(ref cleared, 1) != 0)
                    return;
                lease.Stop();
                Wait(led.ClearQuietlyAsync(name));
            }
        }

        // With its own deadline: the caller's token may be what ended the call that needs it.
        async Task ClearQuietlyAsync(string name)
        {
            try
            {
                await ClearAsync(name).ConfigureAwait(false);
            }
            catch (LedException)
            {
            }
        }

        // The conversation -------------------------------------------------------------------------

        // One call's deadline, and the caller's cancellation, as one token.
        CancellationTokenSource Deadline(CancellationToken cancel)
        {
            var deadline = CancellationTokenSource.CreateLinkedTokenSource(cancel);
            deadline.CancelAfter(TimeoutMs);
            return deadline;
        }

        ServiceUnavailableException NoAnswer() =>
            new ServiceUnavailableException("the LED service at " + Address + " did not answer within " + TimeoutMs + " ms");

        async Task<Connection> ConnectAsync(CancellationToken cancel)
        {
            if (!OnWindows && !File.Exists(Endpoint))
                throw Unreachable("no such socket");
            try
            {
                return new Connection(OnWindows ? await ConnectPipeAsync(cancel).ConfigureAwait(false)
                                                : await ConnectSocketAsync(cancel).ConfigureAwait(false));
            }
            catch (Exception error) when (error is IOException || error is TimeoutException ||
                                          error is UnauthorizedAccessException || error is SocketException)
            {
                throw Unreachable(error.Message);
            }
        }

        ServiceUnavailableException Unreachable(string why) =>
            new ServiceUnavailableException("cannot reach the LED service at " + Address + " (" + why + "). Is it running? To " +
                                            HowToStart + ".");

        async Task<Stream> ConnectPipeAsync(CancellationToken cancel)
        {
            var pipe = new NamedPipeClientStream(".", Endpoint, PipeDirection.InOut, PipeOptions.Asynchronous);
            try
            {
                await pipe.ConnectAsync(TimeoutMs, cancel).ConfigureAwait(false);
                return pipe;
            }
            catch
            {
                pipe.Dispose();
                throw;
            }
        }

        // The socket itself, not a pipe stream, which would wait out its whole time at a socket nobody
        // listens on (a service that died leaves one).
        async Task<Stream> ConnectSocketAsync(CancellationToken cancel)
        {
            var socket = new Socket(AddressFamily.Unix, SocketType.Stream, ProtocolType.Unspecified);
            try
            {
                using (cancel.Register(socket.Dispose))
                    await Task.Factory.FromAsync(socket.BeginConnect, socket.EndConnect, new UnixSocketPath(Endpoint), null)
                              .ConfigureAwait(false);
                return new NetworkStream(socket, true);
            }
            catch (ObjectDisposedException) when (cancel.IsCancellationRequested)
            {
                throw new OperationCanceledException(cancel);
            }
            catch
            {
                socket.Dispose();
                throw;
            }
        }

        async Task<string> AskAsync(string command, string line, CancellationToken cancel)
        {
            if (Encoding.UTF8.GetByteCount(line) > MaxLineBytes)
                throw new ArgumentException("the request is longer than the " + MaxLineBytes + " bytes the service takes in one line");
            using (CancellationTokenSource deadline = Deadline(cancel))
            {
                try
                {
                    using (Connection connection = await ConnectAsync(deadline.Token).ConfigureAwait(false))
                        return await ReplyAsync(connection, command, line, deadline.Token).ConfigureAwait(false);
                }
                catch (OperationCanceledException) when (!cancel.IsCancellationRequested)
                {
                    throw NoAnswer();
                }
            }
        }

        // The payload of the reply to line, which must be one to command.
        async Task<string> ReplyAsync(Connection connection, string command, string line, CancellationToken cancel)
        {
            string reply;
            try
            {
                await connection.SendAsync(line, cancel).ConfigureAwait(false);
                reply = await connection.ReceiveAsync(cancel).ConfigureAwait(false);
            }
            catch (Exception error) when (error is IOException || error is ObjectDisposedException)
            {
                cancel.ThrowIfCancellationRequested();  // closed because its time ran out
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

        async Task ChangeAsync(string command, string line, CancellationToken cancel)
        {
            string payload = await AskAsync(command, line, cancel).ConfigureAwait(false);
            if (payload.Length > 0)
                throw new ProtocolException("the LED service answered \"" + Shorten(payload) + "\" to " + command);
        }

        // The synchronous forms: the library never comes back to the caller's context, so this cannot
        // wait on itself; the call's own exception is thrown, not an AggregateException.
        static void Wait(Task task) => task.ConfigureAwait(false).GetAwaiter().GetResult();
        static T Wait<T>(Task<T> task) => task.ConfigureAwait(false).GetAwaiter().GetResult();

        internal static string Shorten(string text) => text.Length > 200 ? text.Substring(0, 200) + "..." : text;
    }

    /// <summary>A watch's events, one at a time: shaped as an asynchronous enumerator (MoveNextAsync,
    /// Current). Dispose it to end the watch.</summary>
    public sealed class LedEvents : IDisposable
    {
        readonly Connection connection;
        readonly string address;

        internal LedEvents(Connection connection, string address)
        {
            this.connection = connection;
            this.address = address;
        }

        /// <summary>The event MoveNextAsync came to.</summary>
        public LedEvent Current { get; private set; }

        /// <summary>Waits for the next event: true with it in Current; false once the watch was
        /// disposed. Throws ServiceUnavailableException when the service went away, and
        /// ProtocolException when it sent what is not an event.</summary>
        public async Task<bool> MoveNextAsync(CancellationToken cancel = default(CancellationToken))
        {
            string line;
            try
            {
                line = await connection.ReceiveAsync(cancel).ConfigureAwait(false);
            }
            catch (Exception error) when (error is IOException || error is ObjectDisposedException)
            {
                if (connection.Disposed && !cancel.IsCancellationRequested)
                    return false;
                cancel.ThrowIfCancellationRequested();
                throw new ServiceUnavailableException("the LED service at " + address + " went away (" + error.Message + ")");
            }
            if (line == null)
            {
                if (connection.Disposed)
                    return false;
                throw new ServiceUnavailableException("the LED service at " + address + " went away");
            }
            try
            {
                if (!line.StartsWith("event ", StringComparison.Ordinal))
                    throw new FormatException("it does not start with \"event \"");
                Current = Replies.Event(Json.Parse(line.Substring(6)));
                return true;
            }
            catch (FormatException error)
            {
                throw new ProtocolException("the LED service sent what is not an event (" + error.Message + "): " + Led.Shorten(line));
            }
        }

        /// <summary>Ends the watch and closes its connection.</summary>
        public void Dispose() => connection.Dispose();
    }

    /// <summary>A watch on the service's changes: Changed for each, Ended once when it ends by itself.
    /// It starts reading when the first handler is added, so none misses the first events.</summary>
    public sealed class LedWatcher : IDisposable
    {
        readonly LedEvents events;
        readonly TaskCompletionSource<bool> done = new TaskCompletionSource<bool>();
        readonly object gate = new object();
        EventHandler<LedEvent> changed;
        EventHandler<LedException> ended;
        LedException endedWith;
        bool started;
        int disposed;

        internal LedWatcher(LedEvents events) { this.events = events; }

        /// <summary>Raised for each change, on the watcher's thread.</summary>
        public event EventHandler<LedEvent> Changed
        {
            add { lock (gate) changed += value; Start(); }
            remove { lock (gate) changed -= value; }
        }

        /// <summary>Raised once when the watch ends by itself, with why (the service went away, or sent
        /// what is not an event); a handler added after that is called at once.</summary>
        public event EventHandler<LedException> Ended
        {
            add
            {
                LedException already;
                lock (gate)
                {
                    already = endedWith;
                    if (already == null)
                        ended += value;
                }
                if (already != null)
                    value(this, already);
                else
                    Start();
            }
            remove { lock (gate) ended -= value; }
        }

        /// <summary>Completes when the watch has ended, by itself or disposed; it never faults.</summary>
        public Task Done => done.Task;

        void Start()
        {
            lock (gate)
            {
                if (started)
                    return;
                started = true;
            }
            Task.Run(ReadAsync);
        }

        async Task ReadAsync()
        {
            LedException why = null;
            try
            {
                while (await events.MoveNextAsync().ConfigureAwait(false))
                {
                    EventHandler<LedEvent> handlers;
                    lock (gate)
                        handlers = changed;
                    handlers?.Invoke(this, events.Current);
                }
            }
            catch (LedException error)
            {
                why = error;
            }
            catch (Exception error)
            {
                why = new LedException("the watch ended: " + error.Message);
            }
            EventHandler<LedException> handlersOfEnd = null;
            if (why != null)
            {
                lock (gate)
                {
                    endedWith = why;
                    handlersOfEnd = ended;
                }
            }
            if (Volatile.Read(ref disposed) == 0)
                handlersOfEnd?.Invoke(this, why);
            done.TrySetResult(true);
        }

        /// <summary>Ends the watch; Ended is not raised for it.</summary>
        public void Dispose()
        {
            if (Interlocked.Exchange(ref disposed, 1) != 0)
                return;
            events.Dispose();
            lock (gate)
            {
                if (started)
                    return;
                started = true;
            }
            done.TrySetResult(true);
        }
    }

    // An indication's expiry, kept ahead of it while its holder lives, so that what the holder cannot
    // clear (it was killed, the service could not be reached) ends on its own. Each set lasts the
    // lease, or what is left of forMs when that is less; Keep sets it again every third of a lease
    // until Stop, or until a set reaches the end of forMs.
    sealed class Lease
    {
        readonly int leaseMs;
        readonly int? forMs;
        readonly Stopwatch since = Stopwatch.StartNew();
        readonly CancellationTokenSource stopping = new CancellationTokenSource();
        Task keeping = Task.CompletedTask;

        public Lease(int leaseMs, int? forMs) { this.leaseMs = leaseMs; this.forMs = forMs; }

        public int FirstMs => forMs.HasValue ? Math.Min(leaseMs, forMs.Value) : leaseMs;

        public void Keep(Func<int, Task> setFor)
        {
            if (!forMs.HasValue || forMs.Value > leaseMs)
                keeping = RenewAsync(setFor);
        }

        async Task RenewAsync(Func<int, Task> setFor)
        {
            for (;;)
            {
                try
                {
                    await Task.Delay(leaseMs / 3, stopping.Token).ConfigureAwait(false);
                }
                catch (OperationCanceledException)
                {
                    return;
                }
                if (!forMs.HasValue)
                {
                    await setFor(leaseMs).ConfigureAwait(false);
                    continue;
                }
                long leftMs = forMs.Value - since.ElapsedMilliseconds;
                if (leftMs > 0)
                    await setFor((int)Math.Min(leaseMs, leftMs)).ConfigureAwait(false);
                if (leftMs <= leaseMs)
                    return;
            }
        }

        // Returns once no set is under way or to come: what the caller sends next comes after them.
        public void Stop()
        {
            stopping.Cancel();
            keeping.ConfigureAwait(false).GetAwaiter().GetResult();
        }
    }

    // A UNIX socket's path as the system takes it (sockaddr_un), where the framework has no type for it.
    sealed class UnixSocketPath : EndPoint
    {
        readonly byte[] path;

        public UnixSocketPath(string path) { this.path = Encoding.UTF8.GetBytes(path); }

        public override AddressFamily AddressFamily => AddressFamily.Unix;

        public override SocketAddress Serialize()
        {
            var address = new SocketAddress(AddressFamily.Unix, 2 + path.Length + 1);
            for (int at = 0; at < path.Length; at++)
                address[2 + at] = path[at];
            return address;
        }

        public override EndPoint Create(SocketAddress address) => this;
    }

    // One connection to the service: lines out, lines in, each line bounded by the longest reply.
    sealed class Connection : IDisposable
    {
        // More than any reply of the service's (a status with every indication it may hold): a peer that
        // sends more without a line feed is not the service.
        internal const int MaxReplyBytes = 4 << 20;

        readonly Stream stream;
        readonly MemoryStream received = new MemoryStream();
        readonly byte[] buffer = new byte[65536];
        int disposed;

        public Connection(Stream stream) { this.stream = stream; }

        public bool Disposed => Volatile.Read(ref disposed) != 0;

        public async Task SendAsync(string line, CancellationToken cancel)
        {
            byte[] bytes = Encoding.UTF8.GetBytes(line + "\n");
            await Bounded(stream.WriteAsync(bytes, 0, bytes.Length, cancel), cancel).ConfigureAwait(false);
            await Bounded(stream.FlushAsync(cancel), cancel).ConfigureAwait(false);
        }

        // The next line without its line feed (and a carriage return before it); null when the
        // connection ended first. Past MaxReplyBytes, however the bytes came, or not UTF-8: not a line
        // of the service's.
        public async Task<string> ReceiveAsync(CancellationToken cancel)
        {
            for (int searched = 0;;)
            {
                byte[] held = received.GetBuffer();
                int end = Array.IndexOf(held, (byte)'\n', searched, (int)received.Length - searched);
                if (end > MaxReplyBytes || (end < 0 && received.Length > MaxReplyBytes))
                    throw new ProtocolException("the LED service sent a line longer than " + MaxReplyBytes + " bytes");
                if (end >= 0)
                {
                    string line = Line(held, end > 0 && held[end - 1] == '\r' ? end - 1 : end);
                    int rest = (int)received.Length - end - 1;
                    Buffer.BlockCopy(held, end + 1, held, 0, rest);
                    received.SetLength(rest);
                    return line;
                }
                searched = (int)received.Length;
                int got = await Bounded(stream.ReadAsync(buffer, 0, buffer.Length, cancel), cancel).ConfigureAwait(false);
                if (got == 0)
                    return null;
                received.Write(buffer, 0, got);
            }
        }

        static string Line(byte[] bytes, int length)
        {
            try
            {
                return new UTF8Encoding(false, true).GetString(bytes, 0, length);
            }
            catch (DecoderFallbackException)
            {
                throw new ProtocolException("the LED service sent a line that is not UTF-8");
            }
        }

        // Where the system's stream ignores the token once a read or write is under way, the call ends
        // anyway: the connection is closed under it, which ends what it waits for.
        async Task<T> Bounded<T>(Task<T> work, CancellationToken cancel)
        {
            await Bounded((Task)work, cancel).ConfigureAwait(false);
            return work.Result;
        }

        async Task Bounded(Task work, CancellationToken cancel)
        {
            var cancelled = new TaskCompletionSource<bool>();
            using (cancel.Register(() => cancelled.TrySetResult(true)))
            {
                if (await Task.WhenAny(work, cancelled.Task).ConfigureAwait(false) != work)
                {
                    Dispose();
                    cancel.ThrowIfCancellationRequested();
                }
            }
            await work.ConfigureAwait(false);
        }

        public void Dispose()
        {
            if (Interlocked.Exchange(ref disposed, 1) == 0)
                stream.Dispose();
        }
    }

    // Replies' JSON as this client's types: anything missing, of another type, or out of range is a
    // FormatException, which the caller turns into a ProtocolException.
    static class Replies
    {
        static readonly string[] EventKinds = { "set", "cleared", "expired", "ended", "restored" };

        public static LedStatus Status(object parsed)
        {
            var status = Object(parsed, "the status");
            string readBack = TextOrNull(status, "read_back");
            if (readBack != null && readBack != "unknown")
                Color(readBack);
            return new LedStatus
            {
                Showing = TextOrNull(status, "showing"),
                Owner = TextOrNull(status, "owner"),
                Color = Color(Text(status, "color")),
                ReadBack = readBack,
                Indications = List(status, "indications").Select(entry => Indication(Object(entry, "an indication"))).ToList(),
            };
        }

        static IndicationStatus Indication(Dictionary<string, object> entry)
        {
            var steps = List(entry, "steps").Select(item =>
            {
                var step = Object(item, "a step");
                return new Step(Color(Text(step, "color")), (int)Number(step, "ms", 0, Led.MaxStepMs));
            }).ToList();
            if (steps.Count == 0)
                throw new FormatException("an indication without steps");
            return new IndicationStatus
            {
                Name = Text(entry, "name"), Owner = Text(entry, "owner"), OwnerId = Text(entry, "owner_id"),
                Priority = (int)Number(entry, "priority", 0, 255), Shows = Color(Text(entry, "shows")), Steps = steps,
                Cycles = NumberOrNull(entry, "cycles", 1, Led.MaxCycles),
                LeftMs = NumberOrNull(entry, "left_ms", 0, Led.MaxForMs),
            };
        }

        public static LedEvent Event(object parsed)
        {
            var fields = Object(parsed, "the event");
            string kind = Text(fields, "event");
            if (!EventKinds.Contains(kind))
                throw new FormatException("an event of no known kind");
            return new LedEvent
            {
                Seq = Number(fields, "seq", 0, long.MaxValue), Event = kind, Name = Text(fields, "name"),
                Owner = Text(fields, "owner"), OwnerId = Text(fields, "owner_id"), Color = Color(Text(fields, "color")),
                Showing = TextOrNull(fields, "showing"), ShowingOwner = TextOrNull(fields, "showing_owner"),
            };
        }

        static Dictionary<string, object> Object(object value, string what) =>
            value as Dictionary<string, object> ?? throw new FormatException(what + " is not an object");

        static object Field(Dictionary<string, object> fields, string key)
        {
            if (!fields.TryGetValue(key, out object value))
                throw new FormatException("no \"" + key + "\"");
            return value;
        }

        static string Text(Dictionary<string, object> fields, string key) =>
            Field(fields, key) as string ?? throw new FormatException("\"" + key + "\" is not text");

        static string TextOrNull(Dictionary<string, object> fields, string key)
        {
            object value = Field(fields, key);
            return value == null ? null : value as string ?? throw new FormatException("\"" + key + "\" is not text");
        }

        static long Number(Dictionary<string, object> fields, string key, long least, long most) =>
            NumberOrNull(fields, key, least, most) ?? throw new FormatException("\"" + key + "\" is null");

        static long? NumberOrNull(Dictionary<string, object> fields, string key, long least, long most)
        {
            object value = Field(fields, key);
            if (value == null)
                return null;
            if (!(value is long number) || number < least || number > most)
                throw new FormatException("\"" + key + "\" is not a whole number from " + least + " to " + most);
            return number;
        }

        static List<object> List(Dictionary<string, object> fields, string key) =>
            Field(fields, key) as List<object> ?? throw new FormatException("\"" + key + "\" is not a list");

        static string Color(string name) =>
            Led.Colors.Contains(name) ? name : throw new FormatException("\"" + Led.Shorten(name) + "\" is no colour");
    }

    // JSON as RFC 8259 has it, nested at most MaxDepth deep below the outermost value: whole numbers
    // of 64 bits as long, any other number as double. Anything else is a FormatException.
    static class Json
    {
        const int MaxDepth = 32;

        public static object Parse(string text)
        {
            int at = 0;
            object value = Value(text, ref at, 0);
            Space(text, ref at);
            if (at != text.Length)
                throw new FormatException("more after the JSON value");
            return value;
        }

        static void Space(string text, ref int at)
        {
            while (at < text.Length && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
                at++;
        }

        static object Value(string text, ref int at, int depth)
        {
            if (depth > MaxDepth)
                throw new FormatException("nested deeper than " + MaxDepth);
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
                    fields[key] = Value(text, ref at, depth + 1);
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
                    items.Add(Value(text, ref at, depth + 1));
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
            return Number(text, ref at);
        }

        static object Number(string text, ref int at)
        {
            int start = at;
            if (Next(text, at) == '-')
                at++;
            int digits = Digits(text, ref at);
            if (digits == 0 || (digits > 1 && text[at - digits] == '0'))
                throw new FormatException("no JSON value at " + start);
            bool whole = true;
            if (Next(text, at) == '.')
            {
                at++;
                whole = false;
                if (Digits(text, ref at) == 0)
                    throw new FormatException("no digits after the decimal point at " + at);
            }
            if (Next(text, at) == 'e' || Next(text, at) == 'E')
            {
                at++;
                whole = false;
                if (Next(text, at) == '+' || Next(text, at) == '-')
                    at++;
                if (Digits(text, ref at) == 0)
                    throw new FormatException("no digits in the exponent at " + at);
            }
            string number = text.Substring(start, at - start);
            if (whole && long.TryParse(number, NumberStyles.AllowLeadingSign, CultureInfo.InvariantCulture, out long value))
                return value;
            if (!double.TryParse(number, NumberStyles.Float, CultureInfo.InvariantCulture, out double inexact))
                throw new FormatException("a number beyond a double at " + start);
            return inexact;
        }

        static char Next(string text, int at) => at < text.Length ? text[at] : '\0';

        static int Digits(string text, ref int at)
        {
            int start = at;
            while (at < text.Length && text[at] >= '0' && text[at] <= '9')
                at++;
            return at - start;
        }

        static void Expect(string text, ref int at, char wanted)
        {
            if (at >= text.Length || text[at] != wanted)
                throw new FormatException("'" + wanted + "' expected at " + at);
            at++;
        }

        static string Text(string text, ref int at)
        {
            Expect(text, ref at, '"');
            var built = new StringBuilder();
            while (at < text.Length && text[at] != '"')
            {
                char c = text[at++];
                if (c < ' ')
                    throw new FormatException("a control character in a string at " + (at - 1));
                if (c != '\\')
                {
                    built.Append(c);
                    continue;
                }
                char escaped = Next(text, at++);
                switch (escaped)
                {
                    case '"': case '\\': case '/': built.Append(escaped); break;
                    case 'n': built.Append('\n'); break;
                    case 't': built.Append('\t'); break;
                    case 'r': built.Append('\r'); break;
                    case 'b': built.Append('\b'); break;
                    case 'f': built.Append('\f'); break;
                    case 'u':
                        if (at + 4 > text.Length || !text.Substring(at, 4).All(Uri.IsHexDigit))
                            throw new FormatException("a \\u escape without four hexadecimal digits at " + at);
                        built.Append((char)int.Parse(text.Substring(at, 4), NumberStyles.AllowHexSpecifier, CultureInfo.InvariantCulture));
                        at += 4;
                        break;
                    default: throw new FormatException("an unknown escape at " + (at - 1));
                }
            }
            Expect(text, ref at, '"');
            return built.ToString();
        }
    }
}
