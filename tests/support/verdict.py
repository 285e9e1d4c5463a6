"""The verdict of a checking script: one line per check, a tally, and the exit status."""


def report(checks):
    """checks: (what was checked, whether it held, what was found instead). Returns the exit status."""
    failed = 0
    for what, held, found in checks:
        print(("ok   " if held else "FAIL ") + what + ("" if held else f" (found {found})"))
        failed += not held
    print(f"{len(checks) - failed} passed, {failed} failed")
    return 1 if failed else 0
