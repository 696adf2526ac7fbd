"""Live capture on a veth pair whose far end lives in a network namespace.

Needs root (network namespaces, veth); skipped with a message otherwise, or
when the client library in use has no live source.
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

from e2e_common import SKIP, CaptureCase, main, parse_reports, pcapfile, read_text, start

NS = "trawlcap-e2e-%d" % os.getpid()
HOST_IF, NS_IF = "tcl%dh" % (os.getpid() % 100000), "tcl%dn" % (os.getpid() % 100000)
HOST_ADDR, NS_ADDR = "10.213.7.1", "10.213.7.2"
PORT = 9917
COUNT = 50


def sh(*args):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def set_up_namespace():
    """None on success, else why the test cannot run here."""
    if os.geteuid() != 0:
        return "needs root for a network namespace and a veth pair"
    res = sh("ip", "netns", "add", NS)
    if res.returncode != 0:
        return "cannot create a network namespace: " + res.stderr.decode().strip()
    steps = [
        ("ip", "link", "add", HOST_IF, "type", "veth", "peer", "name", NS_IF),
        ("ip", "link", "set", NS_IF, "netns", NS),
        ("ip", "addr", "add", HOST_ADDR + "/30", "dev", HOST_IF),
        ("ip", "link", "set", HOST_IF, "up"),
        ("ip", "netns", "exec", NS, "ip", "addr", "add", NS_ADDR + "/30", "dev", NS_IF),
        ("ip", "netns", "exec", NS, "ip", "link", "set", NS_IF, "up"),
    ]
    for step in steps:
        res = sh(*step)
        if res.returncode != 0:
            return "cannot set up the veth pair (%s): %s" % (" ".join(step),
                                                             res.stderr.decode().strip())
    return None


def probe_live_source():
    """None when trawlcap can open the namespace's interface, else why not."""
    with tempfile.TemporaryDirectory(prefix="trawlcap-e2e-") as tmp:
        proc = start(["-i", NS_IF, "-w", os.path.join(tmp, "probe")], cwd=tmp,
                     wrapper=["ip", "netns", "exec", NS])
        time.sleep(0.5)
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
            proc.communicate(timeout=30)
            return None
        return "no live source in the client library: " + proc.communicate()[1].decode().strip()


def tear_down_namespace():
    sh("ip", "link", "del", HOST_IF)
    sh("ip", "netns", "del", NS)


class LiveCapture(CaptureCase):
    def capture(self, workers):
        base = self.path("live.pcap")
        err = self.path("stderr")
        cmd = ["ip", "netns", "exec", NS]
        proc = start(["-p", str(workers), "-i", NS_IF, "-w", base, "udp", "port", str(PORT)],
                     stderr_path=err, wrapper=cmd)
        time.sleep(1.0)
        self.assertIsNone(proc.poll(), read_text(err))
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        markers = [b"trawlcap-live-%04d" % i for i in range(COUNT)]
        for m in markers:
            sock.sendto(m, (NS_ADDR, PORT))
            time.sleep(0.002)
        sock.sendto(b"other port", (NS_ADDR, PORT + 1))
        sock.close()
        time.sleep(1.0)
        proc.send_signal(signal.SIGINT)
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

    def test_one_worker(self):
        self.capture(1)

    def test_two_workers(self):
        self.capture(2)


if __name__ == "__main__":
    why = set_up_namespace() or probe_live_source()
    if why:
        tear_down_namespace()
        print("SKIP: " + why)
        sys.exit(SKIP)
    try:
        main()
    finally:
        tear_down_namespace()
