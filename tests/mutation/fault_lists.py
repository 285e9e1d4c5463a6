"""Fault lists: one TOML file per area of the product, whose name is the area's.

At the top of a list, `tests` and `preset` give its faults' defaults. Each [[fault]] has:
  id       unique among all lists
  file     the file it is planted in, from the repository's root
  find     the exact text it replaces, which must occur in the file exactly once
  replace  what takes its place
  effect   one sentence: what a user would see go wrong
  tests    (or the list's) a Python regular expression searched in each ctest name: the tests
           that should catch it
  preset   (or the list's; "native" when neither says) the CMake preset whose build it is planted in
"""

import re
import tomllib
from dataclasses import dataclass
from pathlib import Path

_LIST_KEYS = {"tests", "preset", "fault"}
_REQUIRED_KEYS = ("id", "file", "find", "replace", "effect")
_FAULT_KEYS = set(_REQUIRED_KEYS) | {"tests", "preset"}


class FaultListError(Exception):
    pass


@dataclass(frozen=True)
class Fault:
    area: str
    id: str
    file: str
    find: str
    replace: str
    effect: str
    tests: str
    preset: str

    @property
    def name(self):
        return f"{self.area}/{self.id}"


def _read_area(path):
    try:
        with path.open("rb") as source:
            table = tomllib.load(source)
    except tomllib.TOMLDecodeError as error:
        raise FaultListError(f"{path}: {error}") from None
    unknown = sorted(set(table) - _LIST_KEYS)
    if unknown:
        raise FaultListError(f"{path}: unknown key {unknown[0]!r} (a list has {', '.join(sorted(_LIST_KEYS))})")
    defaults = {"tests": table.get("tests"), "preset": table.get("preset", "native")}
    faults = []
    for number, entry in enumerate(table.get("fault", []), 1):
        where = f"{path}: fault {entry.get('id', f'number {number}')!r}"
        missing = [key for key in _REQUIRED_KEYS if key not in entry]
        if missing:
            raise FaultListError(f"{where} has no {missing[0]!r}")
        unknown = sorted(set(entry) - _FAULT_KEYS)
        if unknown:
            raise FaultListError(f"{where}: unknown key {unknown[0]!r}")
        fields = {**defaults, **entry}
        if fields["tests"] is None:
            raise FaultListError(f"{where} names no tests, and its list gives none")
        not_text = [key for key, value in fields.items() if not isinstance(value, str)]
        if not_text:
            raise FaultListError(f"{where}: {not_text[0]!r} is not a string")
        if not fields["find"] or fields["find"] == fields["replace"]:
            raise FaultListError(f"{where} changes nothing")
        try:
            re.compile(fields["tests"])
        except re.error as error:
            raise FaultListError(f"{where}: tests {fields['tests']!r} is not a regular expression: {error}") from None
        faults.append(Fault(area=path.stem, **fields))
    if not faults:
        raise FaultListError(f"{path} holds no fault")
    return faults


def read_fault_lists(folder):
    """Every fault of every list in the folder, in the order of the lists' names and then their own."""
    lists = sorted(Path(folder).glob("*.toml"))
    if not lists:
        raise FaultListError(f"{folder} holds no fault list (*.toml)")
    faults = [fault for path in lists for fault in _read_area(path)]
    seen = {}
    for fault in faults:
        if fault.id in seen:
            raise FaultListError(f"fault {fault.id!r} is in both {seen[fault.id]} and {fault.area}")
        seen[fault.id] = fault.area
    return faults


def select(faults, areas=(), ids=(), changed_files=None):
    """The faults of the areas and ids asked for (all when none is), and of the changed files only
    when those are given."""
    for area in areas:
        if not any(fault.area == area for fault in faults):
            raise FaultListError(f"there is no area {area!r}; the areas are {', '.join(sorted({f.area for f in faults}))}")
    for fault_id in ids:
        if not any(fault.id == fault_id for fault in faults):
            raise FaultListError(f"there is no fault {fault_id!r}")
    return [
        fault for fault in faults
        if (not areas or fault.area in areas) and (not ids or fault.id in ids)
        and (changed_files is None or fault.file in changed_files)
    ]
