#!/usr/bin/python3
"""Checks a shared object or program as the dynamic linker and a linking
host see it, read with binutils (readelf, nm) rather than anything of ours.

    elfcheck.py FILE [CHECK ...]

    sanitize=NAME        skip (exit 77) when NAME is not empty: a sanitizer
                         runtime changes NEEDED and the exports
    soname=NAME          the SONAME is NAME
    needed=LIB[,LIB...]  the NEEDED entries are exactly these, in order
    export=NAME[:KIND[:SIZE]]
                         NAME is exported (nm kind KIND, size SIZE bytes)
    pattern=KIND:SIZE:REGEX
                         exactly one export matches REGEX, of a kind in KIND
                         and SIZE bytes
With any export= or pattern=, nothing else may be exported."""
import re
import shutil
import subprocess
import sys

SKIP = 77


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def exports(path, failures):
    found = {}
    for line in run("nm", "-D", "--defined-only", "-S", path).splitlines():
        fields = line.split()
        if len(fields) == 4:
            found[fields[3]] = (fields[2], int(fields[1], 16))
        else:
            failures.append(f"unexpected nm line: {line}")
    return found


def check_exports(found, wanted, patterns, failures):
    for kinds, size, regex in patterns:
        names = [n for n in found if re.match(regex, n)]
        if len(names) != 1:
            failures.append(f"want one export matching {regex}, found {names}")
            continue
        kind, got = found.pop(names[0])
        if kind not in kinds or got != int(size):
            failures.append(f"{names[0]}: kind {kind} size {got}, want {kinds} and {size}")
    for name, kind, size in wanted:
        if name not in found:
            failures.append(f"{name} is not exported")
            continue
        got_kind, got_size = found.pop(name)
        if kind and got_kind != kind:
            failures.append(f"{name}: kind {got_kind}, want {kind}")
        if size and got_size != int(size):
            failures.append(f"{name}: size {got_size}, want {size}")
    for name in found:
        failures.append(f"unexpected export {name}")


def main():
    path, checks = sys.argv[1], [a.split("=", 1) for a in sys.argv[2:]]
    opts = {}
    for key, value in checks:
        opts.setdefault(key, []).append(value)
    if opts.get("sanitize", [""])[0]:
        print(f"SKIP: the {opts['sanitize'][0]} sanitizer runtime changes NEEDED and exports")
        return SKIP
    if not shutil.which("readelf") or not shutil.which("nm"):
        print("SKIP: readelf or nm not installed (binutils)")
        return SKIP
    failures = []
    dynamic = run("readelf", "-d", path)
    for want in opts.get("soname", []):
        soname = re.findall(r"\(SONAME\)\s+Library soname: \[(.*)\]", dynamic)
        if soname != [want]:
            failures.append(f"SONAME is {soname}, want {want}")
    for want in opts.get("needed", []):
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic)
        if needed != want.split(","):
            failures.append(f"NEEDED is {needed}, want {want}")
    wanted = [(e.split(":") + ["", ""])[:3] for e in opts.get("export", [])]
    patterns = [p.split(":", 2) for p in opts.get("pattern", [])]
    if wanted or patterns:
        check_exports(exports(path, failures), wanted, patterns, failures)
    for f in failures:
        print("FAIL:", f)
    if not failures:
        print(f"ok: {path}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
