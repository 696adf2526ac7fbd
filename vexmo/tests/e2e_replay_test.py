#!/usr/bin/python3
"""Replay through the built libvexmo.so.4 from a plain C client.

Usage: e2e_replay_test.py PROBE TRACES TESTLIB_DIR SANITIZER [unittest options]

The probe polls every stream on its own thread and stops on the SIGINT the
library sends when all streams are drained; the packets it got must be the
trace's packets, each exactly once (read back with tests/lib/pcapfile.py),
with exactly one interrupt.
"""
import collections
import os
import sys
import unittest

PROBE, TRACES = sys.argv[1:3]
# Under ThreadSanitizer a process-directed signal is at times held back and
# never reaches the handler before the probe's deadline; the interrupt count
# is then checked by the unit tests only, and the probe stops on its own.
TSAN = sys.argv[4:5] == ["thread"]
sys.path.insert(0, sys.argv[3])
import harness  # noqa: E402
import pcapfile  # noqa: E402


class Replay(unittest.TestCase):
    def test_every_packet_once_and_one_interrupt(self):
        # The last row comes through a pipe, cut inside its last record: the
        # whole records before the cut are replayed.
        for name, streams, loops, cut in [("mptcp-v0.pcap", 1, 1, 0), ("afs.pcap", 3, 1, 0),
                                          ("arp-oobr.pcap", 8, 1, 0), ("bgp_vpn_rt-oobr.pcap", 2, 1, 0),
                                          ("edns-opts.pcap", 2, 3, 0), ("afs.pcap", 3, 2, 100)]:
            path = os.path.join(TRACES, name)
            with open(path, "rb") as f:
                data = f.read()[:-cut or None]
            want = collections.Counter(rec[4] for rec in pcapfile.parse(data).records for _ in range(loops))
            device = ("file:/dev/stdin" if cut else "file:" + path) + (",loop=%d" % loops if loops > 1 else "")
            with self.subTest(device=device, streams=streams):
                res = harness.run([PROBE, device, str(streams)] + (["0", "5"] if TSAN else []), timeout=60,
                                  input=data if cut else None)
                self.assertEqual(res.returncode, 0, res.stderr.decode())
                lines = res.stdout.decode().splitlines()
                self.assertEqual(lines[0], "ready")
                got = collections.Counter()
                for line in lines[1:-1]:
                    parts = line.split(" ")
                    packet = bytes.fromhex(parts[2]) if len(parts) > 2 else b""
                    self.assertEqual(int(parts[1]), len(packet), "length for the bytes")
                    got[packet] += 1
                self.assertTrue(got == want, "%d packets, want %d; %d missing, %d extra" % (
                    sum(got.values()), sum(want.values()), sum((want - got).values()), sum((got - want).values())))
                self.assertIn(lines[-1], ["sigints 1", "sigints 0"] if TSAN else ["sigints 1"],
                              "want exactly one interrupt")


if __name__ == "__main__":
    harness.main(4)
