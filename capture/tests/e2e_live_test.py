"""Live capture on a veth pair whose far end lives in a network namespace.

Needs root (network namespaces, veth); skipped with a message otherwise, or
when the client library in use has no live source.
"""
import os
import re
import signal
import socket
import sys
import tempfile
import time
import unittest

from e2e_common import (CaptureCase, main, parse_reports, pcapfile, read_text, slow_reader, start,
                        wait_for)
import netns

HOST_IF, NS_IF = netns.own_name("tclh"), netns.own_name("tcln")
NS_NET, HOST_NET = netns.own_subnet()
NS_ADDR = NS_NET.split("/")[0]
PORT = 9917
COUNT = 50
SENT = 20000  # frames to a stopped worker: several times what a 1 MiB ring holds
# Frames of 64 flows into tg0, then tg0 deleted: run inside the namespace.
SEND_THEN_DELETE = ("import socket, subprocess, sys\n"
                    "s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW); s.bind(('tg0', 0))\n"
                    "for p in range(64):\n"
                    "    s.send(bytes(12) + bytes.fromhex('08004500001c00004000401100000a0000010a000002')"
                    " + p.to_bytes(2, 'big') + bytes.fromhex('000900080000'))\n"
                    "subprocess.run(['ip', 'link', 'del', 'tg0'], check=True)\n")


def send_raw(count):
    """count frames (EtherType 0x88b5, numbered) from HOST_IF, paced to stay under the receive backlog."""
    raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    raw.bind((HOST_IF, 0))
    for i in range(count):
        raw.send(b"\xff" * 6 + b"\x02" * 6 + b"\x88\xb5" + b"%06d" % i + bytes(40))
        if i % 64 == 63:
            time.sleep(0.001)
    raw.close()


class LiveCapture(CaptureCase):
    @classmethod
    def setUpClass(cls):
        cls.ns = cls.enterClassContext(netns.Namespace("trawlcap-e2e"))
        cls.ns.veth(NS_IF, HOST_IF, outside=True, addrs=(NS_NET, HOST_NET))
        # trawlcap opens the namespace's interface, or the library has no live source.
        tmp = cls.enterClassContext(tempfile.TemporaryDirectory(prefix="trawlcap-e2e-"))
        proc = start(["-i", NS_IF, "-w", os.path.join(tmp, "probe")], cwd=tmp, wrapper=cls.ns.cmd())
        wait_for(lambda: proc.poll() is not None or os.path.exists(os.path.join(tmp, "probe_0")),
                 timeout=60, what="the probe capture's file or its end")
        if proc.poll() is not None:
            raise unittest.SkipTest("no live source in the client library: "
                                    + proc.communicate()[1].decode().strip())
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=30)

    def start(self, args, stem=None, workers=1):
        """trawlcap in the namespace, its standard error to the scratch file
        stderr; with stem (-w STEM.pcap), once every worker's file is there:
        the device is open and a stop signal ends the capture in order."""
        proc = start(args, stderr_path=self.path("stderr"), wrapper=self.ns.cmd())
        self.addCleanup(proc.kill)  # where a check failed with it still running
        if stem:
            files = [self.path("%s_%d.pcap" % (stem, i)) for i in range(workers)]
            wait_for(lambda: proc.poll() is not None or all(map(os.path.exists, files)), timeout=60,
                     what="the capture's files")
            self.assertIsNone(proc.poll(), read_text(self.path("stderr")))
        return proc

    def capture(self, workers):
        base = self.path("live.pcap")
        err = self.path("stderr")
        proc = self.start(["-p", str(workers), "-i", NS_IF, "-w", base, "udp", "port", str(PORT)], "live",
                          workers)
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        markers = [b"trawlcap-live-%04d" % i for i in range(COUNT)]
        for m in markers:
            sock.sendto(m, (NS_ADDR, PORT))
            time.sleep(0.002)
        sock.sendto(b"other port", (NS_ADDR, PORT + 1))
        sock.close()
        proc.send_signal(signal.SIGINT)  # what arrived before the stop is written
        self.assertEqual(proc.wait(timeout=30), 0)
        (report,) = parse_reports(read_text(err))
        self.assertEqual(sorted(report.threads), list(range(workers)))
        seen = []
        for i in range(workers):
            pcap = pcapfile.read(self.path("live_%d.pcap" % i))
            self.assertDumpHeader(pcap)
            self.assertEqual(len(pcap.records), report.threads[i][2])
            for rec in pcap.records:
                self.assertEqual(rec[2], rec[3])
                seen.append(rec[4][42:])  # after Ethernet, IPv4 and UDP headers
        self.assertEqual(sorted(seen), markers)

    def test_frames_too_long_to_write_are_counted_after_the_report(self):
        # Loopback hands over TCP segments of up to 64 KiB and more: left
        # out and counted, or with -s 0 written whole.
        self.bulk_on_loopback([])
        report, text = self.bulk_on_loopback(["-s", "0"])
        self.assertNotIn("packets longer than", text)
        self.assertNotIn("frames over", text)  # none is left out: no warning at the start
        records = pcapfile.read(self.path("lo-s0_0.pcap")).records
        self.assertEqual(len(records), report.summary[2])
        self.assertGreater(max(r[2] for r in records), 65535)

    def bulk_on_loopback(self, opts):
        err = self.path("stderr")
        stem = "".join(["lo"] + opts)  # a file of each run's own, waited for
        proc = self.start(opts + ["-i", "lo", "-w", self.path(stem + ".pcap"), "tcp", "port", "9918"], stem)
        res = self.ns.run(sys.executable, "-c", "import socket, threading\n"
                    "s = socket.create_server(('127.0.0.1', 9918))\n"
                    "def sink():\n    c, _ = s.accept()\n    while c.recv(1 << 20): pass\n"
                    "t = threading.Thread(target=sink); t.start()\n"
                    "socket.create_connection(('127.0.0.1', 9918)).sendall(bytes(8 << 20))\n", timeout=60)
        self.assertEqual(res.returncode, 0, res.stderr)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 0)
        text = read_text(err)
        (report,) = parse_reports(text)
        if opts:
            return report, text
        m = re.search(r"^(\d+) packets longer than 65535 bytes received but not written "
                      r"\(per thread: (\d+)\)$", text, re.M)
        self.assertTrue(m, text)
        self.assertIn("Interface lo carries frames of up to 65550 bytes (MTU 65536): frames over 65535 bytes "
                      "are not written; ip link set lo mtu 65521\n", text)
        self.assertEqual(int(m.group(1)), report.summary[1] - report.summary[2])
        self.assertGreater(int(m.group(1)), 0)

    def test_arrival_stamps_keep_the_spacing_of_a_stall(self):
        # Frames 100 ms apart while the capture is stopped: stamped on
        # arrival they keep their spacing, stamped when written they would not.
        err = self.path("stderr")
        proc = self.start(["-j", "arrival", "--nano", "-i", NS_IF, "-w", self.path("j.pcap"), "udp", "port",
                           str(PORT)], "j")
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.sendto(b"resolve the address first", (NS_ADDR, PORT + 1))  # not captured
        proc.send_signal(signal.SIGSTOP)
        sent = []  # when each left, as the stamps should say
        for i in range(5):
            sock.sendto(b"spaced %d" % i, (NS_ADDR, PORT))
            sent.append(time.time())
            time.sleep(0.1)
        proc.send_signal(signal.SIGCONT)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 0, read_text(err))
        pcap = pcapfile.read(self.path("j_0.pcap"))
        self.assertTrue(pcap.nsec)
        stamps = [r[0] + r[1] / 1e9 for r in pcap.records]
        self.assertEqual(len(stamps), 5, read_text(err))
        for a, b, sa, sb in zip(stamps, stamps[1:], sent, sent[1:]):
            self.assertGreaterEqual(sb - sa, 0.1)
            self.assertAlmostEqual(b - a, sb - sa, delta=0.02)

    def interface_gone(self, workers, script, stem="g"):
        """A capture by workers on tg1 ends as a failure when script deletes tg0, its peer."""
        self.assertEqual(self.ns.run("ip", "link", "add", "tg0", "type", "veth", "peer", "name",
                                     "tg1").returncode, 0)
        self.ns.run("ip", "link", "set", "tg0", "up")
        self.ns.run("ip", "link", "set", "tg1", "up")
        err = self.path("stderr")
        proc = self.start(["-p", str(workers), "-i", "tg1", "-w", self.path(stem + ".pcap")], stem, workers)
        self.ns.run(*script)
        self.assertEqual(proc.wait(timeout=30), 255)
        text = read_text(err)
        self.assertIn("Cannot capture on interface tg1", text)
        self.assertEqual(text.count("Cannot"), 1, text)
        self.assertEqual(len(parse_reports(text)), 1)

    def test_interface_gone_ends_the_capture_as_a_failure(self):
        self.interface_gone(1, ["ip", "link", "del", "tg0"])

    def test_interface_gone_ends_every_worker(self):
        # Frames just before the delete wait in blocks that the kernel hands
        # over after it said the link went down: every stream must end still.
        for attempt in range(5):
            with self.subTest(attempt=attempt):
                self.interface_gone(4, [sys.executable, "-c", SEND_THEN_DELETE], "g%d" % attempt)

    def test_received_and_dropped_add_up_to_what_was_sent(self):
        # A stopped worker on the smallest ring (1 MiB): what the kernel dropped
        # is counted, and the statistics file ends equal to the report.
        err, stats = self.path("stderr"), self.path("s.prom")
        proc = self.start(["-S", stats, "-i", NS_IF + ",ring=256K", "-w", self.path("d.pcap")], "d")
        proc.send_signal(signal.SIGSTOP)
        send_raw(SENT)
        # Stopped while the ring is full: the worker takes the ring's frames
        # after the stop; any it did not take are said at exit, so that
        # received + dropped + left = sent.
        proc.send_signal(signal.SIGINT)
        proc.send_signal(signal.SIGCONT)
        self.assertEqual(proc.wait(timeout=30), 0)
        text = read_text(err)
        (report,) = parse_reports(text)
        with open(stats) as f:
            final = dict(l.rsplit(" ", 1) for l in f.read().splitlines() if not l.startswith("#"))
        dropped = int(final['trawlcap_dropped_packets_total{worker="0"}'])
        left = re.search(r"Interface %s: (\d+) packets still in the ring at exit" % NS_IF, text)
        self.assertGreater(dropped, 0)
        self.assertEqual(report.summary[1] + dropped + (int(left.group(1)) if left else 0), SENT, text)
        self.assertEqual(final['trawlcap_received_packets_total{worker="0"}'], str(report.summary[1]))
        self.assertIn("Interface %s: %d packets dropped by kernel" % (NS_IF, dropped), text)

    def test_a_stop_writes_what_arrived_before_it(self):
        # A ring hands a partly filled block over only after its timeout:
        # a stop 30 ms after the last frame must still write every frame.
        proc = self.start(["-i", NS_IF, "-w", self.path("k.pcap"), "ether", "proto", "0x88b5"], "k")
        send_raw(3000)
        time.sleep(0.03)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 0)
        text = read_text(self.path("stderr"))
        (report,) = parse_reports(text)
        self.assertEqual(report.summary[2], 3000, text)
        records = pcapfile.read(self.path("k_0.pcap")).records
        self.assertEqual([r[4][14:20] for r in records], [b"%06d" % i for i in range(3000)])
        self.assertNotIn("still in the ring", text)

    def test_light_traffic_through_a_stalled_output(self):
        # -w - into a pipe whose reader sleeps 9 s: after a burst fills the
        # pipe, 80 frames 100 ms apart wait in the write queue, not in the
        # ring, and all of them reach the reader once it wakes.
        out, stats = self.path("out"), self.path("s.prom")
        reader = slow_reader(out, sleep=9)
        proc = start(["-i", NS_IF, "-w", "-", "-S", stats, "ether", "proto", "0x88b5"],
                     stdout=reader.stdin, stderr_path=self.path("stderr"), wrapper=self.ns.cmd())
        reader.stdin.close()
        self.addCleanup(proc.kill)
        wait_for(lambda: os.path.exists(stats), timeout=60, what="the capture")
        send_raw(3000)
        raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        raw.bind((HOST_IF, 0))
        for i in range(3000, 3080):
            raw.send(b"\xff" * 6 + b"\x02" * 6 + b"\x88\xb5" + b"%06d" % i + bytes(40))
            time.sleep(0.1)
        raw.close()
        wait_for(lambda: os.path.exists(out), timeout=60, what="the reader awake")
        proc.send_signal(signal.SIGINT)
        self.assertEqual((proc.wait(timeout=60), reader.wait(timeout=60)), (0, 0))
        records = pcapfile.read(out).records
        self.assertEqual([r[4][14:20] for r in records], [b"%06d" % i for i in range(3080)])
        self.assertNotIn("dropped", read_text(self.path("stderr")))

    def test_a_writer_that_keeps_up_keeps_the_write_queue_small(self):
        # 42 MB at about 20 MB/s through the 32 MiB default write queue: the
        # worker goes back to its start after 8 MiB, so no more is backed.
        if os.environ.get("TRAWLKIT_SANITIZE"):
            self.skipTest("a sanitizer's shadow memory counts in the process's own")
        proc = self.start(["-i", NS_IF, "-w", self.path("q.pcap"), "ether", "proto", "0x88b5"], "q")
        raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        raw.bind((HOST_IF, 0))
        for i in range(30000):
            raw.send(b"\xff" * 6 + b"\x02" * 6 + b"\x88\xb5" + bytes(1400))
            time.sleep(0.001 if i % 16 == 15 else 0)
        raw.close()
        wait_for(lambda: os.path.getsize(self.path("q_0.pcap")) > 36e6, timeout=60, what="36 MB written")
        anon = int(re.search(r"RssAnon:\s+(\d+)", read_text("/proc/%d/status" % proc.pid)).group(1))
        proc.send_signal(signal.SIGINT)
        self.assertEqual((proc.wait(timeout=30), anon < 24 << 10), (0, True), anon)

    def test_one_worker(self):
        self.capture(1)

    def test_two_workers(self):
        self.capture(2)

    # ---- Rows pinning what a user reads, kept apart from the cases above ----

    def test_drop_line_once_per_sigusr1_and_once_at_the_end(self):
        # A stopped worker on the smallest ring drops; one SIGUSR1, then the
        # end: the source's drop line twice, never more.
        from e2e_common import wait_for
        err = self.path("stderr")
        proc = self.start(["-i", NS_IF + ",ring=256K", "-w", self.path("d.pcap")])
        wait_for(lambda: os.path.exists(self.path("d_0.pcap")), what="the dump file")
        proc.send_signal(signal.SIGSTOP)
        raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        raw.bind((HOST_IF, 0))
        for i in range(SENT):
            raw.send(b"\xff" * 6 + b"\x02" * 6 + b"\x88\xb5" + b"%06d" % i + bytes(40))
        raw.close()
        proc.send_signal(signal.SIGCONT)
        proc.send_signal(signal.SIGUSR1)
        wait_for(lambda: "packets dropped by kernel" in read_text(err), what="the interim drop line")
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 0)
        self.assertEqual(len(re.findall(r"^Interface %s: \d+ packets dropped by kernel \(per stream: \d+\)$" % NS_IF,
                                        read_text(err), re.M)), 2, read_text(err))


if __name__ == "__main__":
    main()
