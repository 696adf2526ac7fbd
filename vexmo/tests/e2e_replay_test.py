#!/usr/bin/python3
"""Replay through the built libvexmo.so.4 from a plain C client.

Usage: e2e_replay_test.py PROBE TRACES PCAPFILE_DIR [SANITIZER]

The probe polls every stream on its own thread and stops on the SIGINT the
library sends when all streams are drained; the packets it got must be the
trace's packets, each exactly once (read back with tests/lib/pcapfile.py),
with exactly one interrupt.
"""
import collections
import os
import subprocess
import sys

probe, traces, libdir = sys.argv[1:4]
# Under ThreadSanitizer a process-directed signal is at times held back and
# never reaches the handler before the probe's deadline; the interrupt count
# is then checked by the unit tests only, and the probe stops on its own.
tsan = len(sys.argv) > 4 and sys.argv[4] == "thread"
sys.path.insert(0, libdir)
import pcapfile  # noqa: E402

failures = []


def run(device, streams, stdin=None):
    args = ["0", "5"] if tsan else []
    p = subprocess.run([probe, device, str(streams)] + args, capture_output=True, timeout=60,
                       input=stdin)
    p.stdout, p.stderr = p.stdout.decode(), p.stderr.decode()
    if p.returncode != 0:
        failures.append("%s x%d: exit %d: %s" % (device, streams, p.returncode, p.stderr))
        return None, None
    lines = p.stdout.splitlines()
    assert lines[0] == "ready", lines[:1]
    got = collections.Counter()
    for line in lines[1:-1]:
        parts = line.split(" ")
        data = bytes.fromhex(parts[2]) if len(parts) > 2 else b""
        if int(parts[1]) != len(data):
            failures.append("%s: length %s for %d bytes" % (device, parts[1], len(data)))
        got[data] += 1
    return got, lines[-1]


# The last row comes through a pipe, cut inside its last record: the whole
# records before the cut are replayed.
for name, streams, loops, cut in [("mptcp-v0.pcap", 1, 1, 0), ("afs.pcap", 3, 1, 0),
                                  ("arp-oobr.pcap", 8, 1, 0), ("bgp_vpn_rt-oobr.pcap", 2, 1, 0),
                                  ("edns-opts.pcap", 2, 3, 0), ("afs.pcap", 3, 2, 100)]:
    path = os.path.join(traces, name)
    with open(path, "rb") as f:
        data = f.read()[:-cut or None]
    want = collections.Counter()
    for rec in pcapfile.parse(data).records:
        want[rec[4]] += loops
    device = ("file:/dev/stdin" if cut else "file:" + path) + (",loop=%d" % loops if loops > 1 else "")
    got, tail = run(device, streams, data if cut else None)
    if got is None:
        continue
    if got != want:
        failures.append("%s x%d: %d packets, want %d; %d missing, %d extra" % (
            device, streams, sum(got.values()), sum(want.values()),
            sum((want - got).values()), sum((got - want).values())))
    if tail != "sigints 1" and not (tsan and tail == "sigints 0"):
        failures.append("%s x%d: %s, want exactly one interrupt" % (device, streams, tail))

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
