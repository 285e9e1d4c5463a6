"""Starting the LED service for a test or a benchmark, and knowing when it serves."""
import subprocess
import threading


def start_service(command, env):
    """Starts the service; returns (process, its standard error lines so far, whether it serves).
    Once it serves, its standard error is read on in the background (into the same list), so that
    it never fills up and stops the service."""
    process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
    said = []
    for line in process.stderr:
        said.append(line)
        if "serving on" in line:
            threading.Thread(target=lambda: said.extend(process.stderr), daemon=True).start()
            return process, said, True
    process.wait()
    return process, said, False
