#!/usr/bin/python3
"""Runs the built bitpeel and compares its whole output and exit status with
expectations worked out here: fields by slicing the binary digits, times with
datetime and zoneinfo. Usage: bitpeel_e2e.py PATH_TO_BITPEEL"""
import os
import subprocess
import sys
from datetime import datetime
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

BIN = sys.argv[1]
FMT = "%Y-%m-%d %H:%M:%S"
MAX = 2**64 - 1
VERSION = b"v1.0.0-20191119\n"
BAD_BASE = b"\x1b[1;31;40mbase time format error!\x1b[0m\n"
# Summer time in the north, summer time in the south, and none.
ZONES = ["UTC", "Europe/Berlin", "Australia/Sydney"]
failures = []


def run(args, tz="UTC", argv0=None, stdout=subprocess.PIPE):
    p = subprocess.run([argv0 or BIN, *args], executable=BIN, env={"TZ": tz},
                       stdout=stdout, stderr=subprocess.PIPE, timeout=60)
    return p.returncode, p.stdout, p.stderr


def check(name, args, want_out, want_rc=0, tz="UTC", argv0=None):
    rc, out, err = run(args, tz, argv0)
    if (rc, out) != (want_rc, want_out) or err:
        failures.append(f"{name} [TZ={tz}]: status {rc} (want {want_rc})\n"
                        f"  got:  {out[:600]!r}\n  want: {want_out[:600]!r}\n  stderr: {err[:300]!r}")


def fields(n):
    bits = format(n, "064b")  # bits[0] is bit 63, which is not decoded
    return [int(bits[a:b], 2) for a, b in ((1, 13), (13, 21), (21, 49), (49, 64))]


def local(t, tz):
    return datetime.fromtimestamp(t, ZoneInfo(tz)).strftime(FMT)


def header(n):
    out = f"stream_id is {n}, decode result:\n"
    for label, v in zip(("device-id", "thread-id", "relative-time", "sequence"), fields(n)):
        out += f"    {label:<13}: {v}\n"
    return out


def candidates(n, tz):
    rel = fields(n)[2]
    out = header(n) + "    not input base time, use EPOCH as base time, absolute time maybe as follow:\n"
    out += "".join(f"\t\t{local(rel + k * 2**28, tz)}\n" for k in range(10))
    return out.encode()


def absolute(n, base, tz):
    start = datetime.strptime(base[:19], FMT).replace(tzinfo=ZoneInfo(tz)).timestamp()
    return (header(n) + f"    Absolute-time: {local(int(start) + fields(n)[2], tz)}\n").encode()


def usage(argv0):
    return (b"usage: %s <stream_id> [\"base_time\"]\n"
            b"\tbase_time format is: '%%Y-%%m-%%d %%H:%%M:%%S'\n"
            b"\texample: %s 2274325413085511680\n"
            b"\texample: %s 2274319137695858688 \"2018-08-08 08:00:00\"\n") % (argv0, argv0, argv0)


def main():
    try:
        for z in ZONES:
            ZoneInfo(z)
    except ZoneInfoNotFoundError as e:
        print(f"SKIP: time zone data missing ({e}); install tzdata")
        return 77

    # The worked examples, as literal times, in UTC.
    rc, out, _ = run(["2274325413085511680"])
    for line in (b"\t\t1977-05-08 20:42:30\n", b"\t\t2019-11-19 07:43:50\n", b"\t\t2053-11-27 21:20:54\n"):
        if line not in out:
            failures.append(f"worked example: {line!r} missing from {out!r}")
    rc, out, _ = run(["2274319137695858688", "2018-08-08 08:00:00"])
    if b"    Absolute-time: 2019-11-19 15:34:16\n" not in out:
        failures.append(f"worked example with base time: {out!r}")

    for tz in ZONES:
        for n in (2274325413085511680, 2274319137695858688, 0, MAX, 2**63, 2**63 - 1):
            check(f"candidates {n}", [str(n)], candidates(n, tz), tz=tz)
        # August is summer in Berlin, January in Sydney: the base time must be
        # read with the zone's summer offset for those dates.
        for base in ("2018-08-08 08:00:00", "2018-01-15 12:30:00", "1999-12-31 23:59:59"):
            check(f"base {base}", ["2274319137695858688", base],
                  absolute(2274319137695858688, base, tz), tz=tz)
        check("trailing text and extra arguments ignored",
              ["2274319137695858688", "2018-08-08 08:00:00xyz", "extra", "more"],
              absolute(2274319137695858688, "2018-08-08 08:00:00", tz), tz=tz)

    for arg in ("-v", "-V", "-verbose", "-v1", "-vh"):
        check(f"version {arg}", [arg, "1"], VERSION)
    for args in ([], ["-h"], ["-H"], ["-help"], ["--help"], ["--HELP"], ["-h", "-v"]):
        check(f"usage {args}", args, usage(b"some/name"), want_rc=1, argv0="some/name")
    for arg in ("abc", "--version", "--he", "", "-"):
        check(f"not an option {arg!r}", [arg], candidates(0, "UTC"))
    for arg in ("-1", "18446744073709551615", "18446744073709551616", "9" * 100000):
        check(f"largest {arg[:24]}", [arg], candidates(MAX, "UTC"))
    check("sign and white space", [" \t+42xyz"], candidates(42, "UTC"))
    check("decimal only: a leading 0 is not octal", ["010"], candidates(10, "UTC"))
    check("decimal only: 0x is not hex", ["0x10"], candidates(0, "UTC"))

    for base in ("2018-08-08", "", "08:00:00", "2018-08-08 25:00:00", "2" * 100000, "\xff\x01\x1b[31m"):
        check(f"bad base time {base[:24]!r}", ["2274319137695858688", base],
              header(2274319137695858688).encode() + BAD_BASE)

    # Arbitrary bytes and lengths: decoded or shown, never a crash.
    hostile = b"\xff\xfe\x01\x1b[2J\x7f\t\n" * 1000
    check("hostile identifier", [hostile], candidates(0, "UTC"))
    check("hostile base time", [b"5", hostile], header(5).encode() + BAD_BASE)
    check("hostile program name", [], usage(hostile), want_rc=1, argv0=hostile)
    check("long program name", ["--HELP"], usage(b"x" * 100000), want_rc=1, argv0=b"x" * 100000)

    # An answer that could not be written is not a success.
    if os.path.exists("/dev/full"):
        with open("/dev/full", "wb") as full:
            rc, _, err = run(["2274325413085511680"], stdout=full)
        if rc != 1 or not err.startswith(b"Cannot write standard output"):
            failures.append(f"/dev/full: status {rc}, stderr {err!r}")

    for f in failures:
        print("FAIL:", f)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
