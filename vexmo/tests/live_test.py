#!/usr/bin/python3
"""Live capture in a network namespace of its own (tests/lib/netns.py).

Usage: live_test.py PROBE TESTLIB_DIR [unittest options]

Each case gets a veth pair va <-> vb, vb on a bridge. Known UDP frames, some
802.1Q or 802.1ad + 802.1Q tagged, go into va from an AF_PACKET socket while
the probe polls vb: every frame must come back exactly once and unchanged
(the kernel takes VLAN tags out on receive; they must be put back, 802.1ad
ones with their own TPID), each flow on one stream. The frames outnumber
what the ring holds, so it only keeps up when freed blocks go back to the
kernel; a run that never frees fills it, and no frame may come twice.
"""
import collections
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest

MAGIC = b"VEXMO-LIVE"
FLOWS = 48
COUNT = 30000
LIMIT_S = 60  # the probe's own deadline, for where the test's stop never comes
SELF = os.path.abspath(__file__)


def frame(seq):
    flow = seq % FLOWS
    src, dst = bytes([10, 9, 0, 1]), bytes([10, 9, 1, 1 + flow % 4])
    sport, dport = 20000 + flow, 7000
    payload = MAGIC + struct.pack("!II", seq, flow)
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0x4000, 64, 17, 0, src, dst)
    eth = b"\x02\x00\x00\x00\x00\x0b" + b"\x02\x00\x00\x00\x00\x0a"
    if flow % 8 == 7:  # some flows carry an 802.1Q tag, which must survive
        eth += struct.pack("!HH", 0x8100, 0x2000 | flow)
    if flow % 8 == 3:  # and some 802.1ad + 802.1Q (QinQ)
        eth += struct.pack("!HHHH", 0x88a8, 0x3000 | flow, 0x8100, 0x100 | flow)
    return eth + b"\x08\x00" + ip + udp


def sender(count, gap):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind(("va", 0))
    for seq in range(count):
        s.send(frame(seq))
        if seq % 64 == 63 or gap:
            time.sleep(gap or 0.001)  # stay under the receive backlog


if __name__ == "__main__" and sys.argv[1] == "--send":  # run inside the namespace
    sender(int(sys.argv[2]), float(sys.argv[3]))
    sys.exit(0)
PROBE = os.path.abspath(sys.argv[1])
sys.path.insert(0, sys.argv[2])
import harness  # noqa: E402
import netns  # noqa: E402

# Device, streams, a command run once it is open, and what must then hold of
# (KiB mapped per ring, stderr, stdout).
os.environ["VEXMO_PROBE_FRAME_LIMIT"] = "65535"  # the probe keeps frames as the capture program does
LO = ("Interface lo carries frames of up to 65550 bytes (MTU 65536): frames over 65535 bytes are not written; "
      "ip link set lo mtu 65521\n")
ROWS = [("vb", 1, [], lambda m, e, o: m == [8192]), ("vb", 130, [], lambda m, e, o: m == [1024] * 130),
        ("vb,ring=1K", 2, [], lambda m, e, o: m == [1024] * 2), ("vb,ring=1100K", 1, [], lambda m, e, o: m == [1152]),
        ("vb,ring=1099511627776", 1, [], lambda m, e, o: "rings of 1073741824 KiB for 1 streams need more" in e),
        ("lo", 1, ["-c", "import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(bytes(65507), "
                   "('127.0.0.1', 9))"], lambda m, e, o: e == LO and " 65549 " in o),
        ("vb,fanout=lb", 5, [SELF, "--send", "240", "0"],  # lb spreads each flow over the streams
         lambda m, e, o: len({(l.split()[0], l.split()[2][-8:]) for l in o.splitlines() if MAGIC.hex() in l}) > FLOWS)]
Run = collections.namedtuple("Run", "out err status seconds")


class LiveCapture(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ns = cls.enterClassContext(netns.Namespace("vexmo_live"))
        # The bridge passes frames to another MAC up only when promiscuous; no IGMP of its own.
        cls.ns.setup("ip", "link", "add", "name", "vbr", "type", "bridge", "mcast_snooping", "0")
        cls.ns.setup("ip", "link", "set", "vbr", "up")
        cls.ns.run("sysctl", "-qw", "net.bridge.bridge-nf-call-iptables=0")  # no checksum checks

    def setUp(self):
        # A pair of its own for each case, as one of them deletes it.
        self.ns.veth("vb", "va")
        self.addCleanup(self.ns.run, "ip", "link", "del", "va")
        self.ns.setup("ip", "link", "set", "vb", "master", "vbr")

    def send(self, count=COUNT, gap=0):
        res = self.ns.run(sys.executable, SELF, "--send", str(count), str(gap))
        self.assertEqual(res.returncode, 0, "sender failed: " + res.stderr)

    def probe(self, dev, action, streams=1, args=None, stop=True):
        """The probe on dev ("stats" form unless args), action(p) once it is
        open, then (stop) SIGINT: it takes what came before and ends."""
        t, args = time.monotonic(), args or ["0", str(LIMIT_S), "stats"]
        p = harness.start(self.ns.cmd(PROBE, dev, str(streams), *args), stdout=subprocess.PIPE, text=True)
        self.addCleanup(p.kill)  # where the action failed, maybe with the probe stopped
        if p.stdout.readline().strip() == "ready":
            action(p)
            if stop:
                p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=LIMIT_S + 30)
        return Run(out, err, p.returncode, time.monotonic() - t)

    def capture_sent(self, streams, hold=False):
        """COUNT frames sent while the probe polls vb: times each was seen, stream of each flow."""
        run = self.probe("vb,ring=256K" if hold else "vb", lambda p: self.send(), streams,
                         args=["0", str(LIMIT_S), "hold"] if hold else [str(COUNT), str(LIMIT_S)])
        self.assertEqual(run.status, 0, run.err[-2000:])  # also where it did not start
        seen, where = collections.Counter(), {}
        for line in run.out.splitlines()[:-1]:
            st, _, hexdata = line.split(" ")
            data = bytes.fromhex(hexdata)
            at = data.find(MAGIC)
            if at < 0:
                continue  # other traffic on the link
            seq, flow = struct.unpack("!II", data[at + len(MAGIC):at + len(MAGIC) + 8])
            seen[seq] += 1
            self.assertEqual(where.setdefault(flow, st), st, "flow %d on two streams" % flow)
            self.assertEqual(data, frame(seq), "frame %d changed" % seq)
        self.assertEqual([q for q, n in seen.items() if n != 1][:10], [], "frames handed out more than once")
        return seen, where

    def test_every_frame_once_on_one_and_on_three_streams(self):
        for streams in (1, 3):
            with self.subTest(streams=streams):
                seen, where = self.capture_sent(streams)
                missing = [q for q in range(COUNT) if q not in seen]
                self.assertEqual(missing[:10], [], "%d frames missing" % len(missing))
                used = set(where.values())
                if streams > 1:
                    self.assertGreater(len(used), 1, "all %d flows on one stream" % FLOWS)
                print("%d streams: %d frames, flows per stream %s" % (
                    streams, len(seen), sorted(list(where.values()).count(s) for s in used)))

    def test_holding_every_buffer_fills_the_ring(self):
        seen, _ = self.capture_sent(2, hold=True)
        self.assertTrue(0 < len(seen) < COUNT, "%d frames seen, want some but not all" % len(seen))
        print("holding every buffer: %d frames before the ring was full" % len(seen))

    def promiscuity(self):
        return re.search(r"promiscuity (\d+)", self.ns.run("ip", "-d", "link", "show", "vbr").stdout).group(1)

    def test_frames_to_another_mac_only_when_promiscuous(self):
        before = self.promiscuity()
        for dev, want in (("vbr", 50), ("vbr,promisc=0", 0)):
            out = self.probe(dev, lambda p: self.send(50)).out
            self.assertEqual(sum(MAGIC.hex() in l for l in out.splitlines()), want, dev + ": of 50 to another MAC")
        self.assertEqual(self.promiscuity(), before, "promiscuity after the runs")

    def stopped(self, dev, count, gap, streams=1):
        """Frames sent while the probe is stopped: (stamp rows, drops per stream
        in the statistics, and in the drop line or None)."""
        def act(p):
            p.send_signal(signal.SIGSTOP)
            self.send(count, gap)
            p.send_signal(signal.SIGCONT)
        run = self.probe(dev, act, streams)
        m = re.search(r"Interface vb: \d+ packets dropped by kernel \(per stream: ([\d ]+)\)", run.err)
        return ([l.split() for l in run.out.splitlines() if l.startswith("stamp")],
                [int(l.split()[2]) for l in run.out.splitlines() if l.startswith("stats")],
                m and [int(d) for d in m.group(1).split()])

    def test_stalled_frames_keep_their_arrival_stamps(self):
        ours, drops, line = self.stopped("vb", 15, 0.1)
        self.assertEqual((len(ours), drops, line), (15, [0], None), "stalled 1.5 s: seen, drops, drop line")
        at = [float(r[2]) for r in ours]
        self.assertGreaterEqual(min(b - a for a, b in zip(at, at[1:])), 0.05)  # stamped on arrival
        self.assertEqual([r[3] for r in ours], [r[4] for r in ours])  # VLAN tags in both lengths

    def test_small_rings_count_every_drop(self):
        ours, drops, line = self.stopped("vb,ring=1K,fanout=lb", COUNT, 0, 3)
        self.assertEqual(len(ours) + sum(drops), COUNT, "seen + drops %s" % drops)
        self.assertEqual(line, drops)
        self.assertNotIn(0, drops)

    def test_rings_and_devices(self):
        for dev, streams, cmd, ok in ROWS:
            kib = []

            def act(p):
                with open("/proc/%d/maps" % p.pid) as f:
                    maps = f.read()
                kib.extend((int(b, 16) - int(a, 16)) >> 10
                           for a, b in re.findall(r"^(\w+)-(\w+) .*socket:", maps, re.M))
                if cmd:
                    self.ns.run(sys.executable, *cmd)
            with self.subTest(dev=dev, streams=streams):
                run = self.probe(dev, act, streams)
                self.assertTrue(ok(kib, run.err, run.out), "KiB mapped %s, stderr %s" % (kib[:2], run.err))
                self.assertLessEqual(run.seconds, 5)  # sockets closed one by one took seconds

    def test_tun_interface_refused(self):
        self.ns.run("ip", "tuntap", "add", "mode", "tun", "name", "tn")
        run = self.probe("tn", lambda p: None)
        self.assertTrue(run.err.startswith("Cannot") and run.err.count("\n") == 1 and "not Ethernet" in run.err,
                        run.err)

    def test_interface_deleted_ends_the_capture(self):
        run = self.probe("vb", lambda p: self.ns.run("ip", "link", "del", "va"), 2, stop=False)
        self.assertLessEqual(run.seconds, 10)
        self.assertIn("sigints 1", run.out)
        self.assertTrue(run.err.startswith("Cannot capture on interface vb"), run.err)
        self.assertEqual(len(re.findall(r"^stats \d+ \d+ 0 2$", run.out, re.M)), 2, run.out)  # every stream FAILED


if __name__ == "__main__":
    harness.main(2)
