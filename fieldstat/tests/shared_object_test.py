#!/usr/bin/python3
"""Checks libtallyboard.so as the dynamic linker and a linking host see it:
shared-object name, NEEDED entries and the exact dynamic export list, read
with binutils (readelf, nm) rather than with anything of our own."""
import re
import subprocess
import sys

SKIP = 77
EXPORTS = {
    "init_screen_stat": "T",
    "stat_field_register": "T",
    "stat_field_operation": "T",
    "thread_screen_print": "T",
    "ORVA_FIELD_STAT_VERSION_2015_11_02": "R",
}
# A build outside git carries the placeholder "nogit" for the commit.
MARKER = re.compile(r"GIT_VERSION_1_0_2_[A-Za-z]+_(?:[0-9a-f]+|nogit)_[0-9]+_[A-Za-z0-9_]+_"
                    r"[0-9]{14}_[0-9]{4}$")


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def main():
    lib, sanitize = sys.argv[1], sys.argv[2]
    if sanitize:
        print(f"SKIP: the {sanitize} sanitizer runtime changes NEEDED and exports")
        return SKIP
    failures = []

    dynamic = run("readelf", "-d", lib)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic)
    soname = re.findall(r"\(SONAME\)\s+Library soname: \[(.*)\]", dynamic)
    if needed != ["libc.so.6"]:
        failures.append(f"NEEDED is {needed}, want only libc.so.6")
    if soname != ["libtallyboard.so"]:
        failures.append(f"SONAME is {soname}, want libtallyboard.so")

    found = {}
    for line in run("nm", "-D", "--defined-only", "-S", lib).splitlines():
        fields = line.split()
        if len(fields) == 4:
            _, size, kind, name = fields
            found[name] = (kind, int(size, 16))
        else:
            failures.append(f"unexpected nm line: {line}")
    markers = [n for n in found if n.startswith("GIT_VERSION_")]
    if len(markers) != 1 or not MARKER.match(markers[0]):
        failures.append(f"build marker missing or malformed: {markers}")
    else:
        kind, size = found.pop(markers[0])
        if kind not in "BbDd" or size != 8:
            failures.append(f"{markers[0]}: kind {kind} size {size}, want 8-byte data")
    for name, kind in EXPORTS.items():
        if name not in found:
            failures.append(f"{name} is not exported")
            continue
        got_kind, size = found.pop(name)
        if got_kind != kind:
            failures.append(f"{name}: kind {got_kind}, want {kind}")
        if kind == "R" and size != 1:
            failures.append(f"{name}: size {size}, want 1")
    for name in found:
        failures.append(f"unexpected export {name}")

    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
