"""Starting the LED service for a test or a benchmark, and knowing when it serves."""
import queue
import subprocess
import threading

# Far longer than any start takes (Init alone waits 500 ms), even on a loaded machine.
START_DEADLINE_S = 60


def start_service(command, env, umask=None, until="serving on"):
    """Starts the service; returns (process, its standard error lines so far, whether it serves, or
    has said `until` when given). With `umask`, it starts with that umask. Its standard error is read on in the background (into the same list), so that it never fills
    up and stops the service. A service that neither serves nor ends within the deadline is killed."""
    process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True, umask=-1 if umask is None else umask)
    said = []
    lines = queue.Queue()

    def read_on():
        for line in process.stderr:
            said.append(line)
            lines.put(line)
        lines.put(None)  # it ended
    threading.Thread(target=read_on, daemon=True).start()
    while True:
        try:
            line = lines.get(timeout=START_DEADLINE_S)
        except queue.Empty:
            process.kill()
            process.wait()
            said.append(f"(neither served nor ended within {START_DEADLINE_S} s: killed)\n")
            return process, said, False
        if line is None:
            process.wait()
            return process, said, False
        if until in line:
            return process, said, True
