"""Reading the simulated LED's journal (LED_SIM_JOURNAL): when the LED took which colour."""
import re

# The viewer's names for what the four lines' bit 0 show (enable, red, blue, green; lit at 0),
# decoded as the hardware does, not through the library's table.
SEEN = {(1, 1, 1, 1): "off", (0, 0, 1, 1): "red", (0, 1, 1, 0): "green", (0, 1, 0, 1): "blue",
        (0, 0, 0, 0): "white", (0, 1, 0, 0): "cyan", (0, 0, 1, 0): "yellow", (0, 0, 0, 1): "purple"}
LINES = ["FD6E0830", "FD6E0840", "FD6E0850", "FD6E0860"]


def transitions_in(journal_lines):
    """(microseconds, colour) for each colour the LED took: each SetLED writes the four lines in
    order; a write that repeats the colour shown is not a change."""
    changes, levels, started = [], [], None
    for line in journal_lines:
        found = re.match(r"^(\d+) SetPhysLong (\w{8}) ([0-9A-F]{8}) -> 1$", line)
        if not found:
            continue
        stamp, address, value = int(found.group(1)), found.group(2), int(found.group(3), 16)
        if address == LINES[0]:
            levels, started = [], stamp
        if len(levels) == LINES.index(address):
            levels.append(value & 1)
        if len(levels) == 4:
            colour = SEEN.get(tuple(levels), "unknown pattern")
            if not changes or changes[-1][1] != colour:
                changes.append((started, colour))
    return changes
