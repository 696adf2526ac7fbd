"""Faults around a capture: broken standard output, signals at random moments,
bad savefiles and hostile arguments. Each must end in a "Cannot" line and a
non-zero status or in a clean capture; never a hang, a crash or a counted
packet missing from the files."""
import errno
import os
import random
import signal
import subprocess
import time

from e2e_common import TRAWLCAP as TRAWLCAP_PATH
from e2e_common import (CaptureCase, main, parse_reports, pcapfile, read_text, run, start, trace,
                        trace_count)

AFS = "file:" + trace("afs.pcap")
# 14 packets, about 1.6 kB: a looped replay makes many small records quickly.
TINY_LOOPED = "file:" + trace("gateway_or_not.pcap") + ",loop=1000000"


def write_error_line(index, code):
    return "Cannot write dumpfile - for thread %d : %s\n" % (index, os.strerror(code))


class StandardOutputFaults(CaptureCase):
    """-w - where the data cannot go (closed, a reader gone before the start);
    /dev/full and a reader leaving early are in e2e_errors_test.py."""

    def run_to(self, device, stdout=None, close_stdout=False):
        cmd = [os.path.abspath(TRAWLCAP_PATH), "-w", "-", "-i", device]
        preexec = (lambda: os.close(1)) if close_stdout else None
        res = subprocess.run(cmd, stdout=stdout, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                             preexec_fn=preexec, timeout=60)
        return res.returncode, res.stderr.decode()

    def check_failed(self, rc, err, code):
        self.assertEqual(rc, 255, err)
        self.assertTrue(err.startswith(write_error_line(0, code)), err)
        (report,) = parse_reports(err)
        self.assertEqual(report.threads[0][2], 0)

    def test_standard_output_closed(self):
        for device in (AFS, AFS + ",loop=1000000"):
            with self.subTest(device=device):
                rc, err = self.run_to(device, close_stdout=True)
                self.check_failed(rc, err, errno.EBADF)

    def test_reader_gone_before_the_start(self):
        for device in (AFS, AFS + ",loop=1000000"):
            with self.subTest(device=device):
                r, w = os.pipe()
                os.close(r)
                try:
                    rc, err = self.run_to(device, stdout=w)
                finally:
                    os.close(w)
                self.check_failed(rc, err, errno.EPIPE)


def whole_records(path):
    """Records in a capture file and whether the last one ends at the end of
    the file; a walk over the record headers, fast enough for large files."""
    with open(path, "rb") as f:
        data = f.read()
    pcapfile.parse(data[:24])  # the file header alone: magic and fields
    off, n = 24, 0
    while off + 16 <= len(data):
        off += 16 + int.from_bytes(data[off + 8:off + 12], "little")
        n += 1
    return n, off == len(data)


class SignalsAtRandomMoments(CaptureCase):
    RUNS = 100
    # The replay source is fast: the count bounds each run's files to a few
    # megabytes, still several flushes of the 1 MiB write buffer.
    LIMIT = "60000"

    def test_every_counted_packet_is_in_the_files(self):
        seed = int(os.environ.get("TRAWLKIT_SEED", time.time()))
        rng = random.Random(seed)
        outcomes = {"killed": 0, "stopped": 0, "finished": 0}
        for run_no in range(self.RUNS):
            signo = rng.choice([signal.SIGINT, signal.SIGTERM])
            workers = rng.randint(1, 4)
            # Start-up (before the handlers) and set-up take a few
            # milliseconds, so half the runs aim there; the capture, also
            # under the sanitizers' slower start, falls in the wider range.
            delay = rng.uniform(0, 0.008) if rng.random() < 0.5 else rng.uniform(0, 0.06)
            out = os.path.join(self.dir, "r%d" % run_no)
            os.mkdir(out)
            err = os.path.join(out, "stderr")
            proc = start(["-p", str(workers), "-c", self.LIMIT, "-i", TINY_LOOPED, "-w",
                          os.path.join(out, "c.pcap")], stderr_path=err)
            time.sleep(delay)
            proc.send_signal(signo)
            rc = proc.wait(timeout=30)
            text = read_text(err)
            what = "seed %d, run %d: %s after %.3f s, %d workers:\n%s" % (
                seed, run_no, signo.name, delay, workers, text)
            reports = parse_reports(text)
            if not reports:
                # Before the handlers are installed the signal ends the process.
                self.assertEqual(rc, -signo, what)
                outcomes["killed"] += 1
                continue
            self.assertEqual(rc, 0, what)
            self.assertEqual(len(reports), 1, what)
            # Each worker ends at its limit, up to a burst beyond it, or
            # earlier at the signal; never later.
            limit = int(self.LIMIT) // workers
            captured = [t[2] for t in reports[0].threads.values()]
            self.assertTrue(all(c < limit + 32 for c in captured), what)
            finished = len(captured) == workers and all(c >= limit for c in captured)
            outcomes["finished" if finished else "stopped"] += 1
            for i, (name, _, captured) in reports[0].threads.items():
                self.assertEqual(whole_records(name), (captured, True), what)
                res = subprocess.run(["tcpdump", "-r", name, "-w", "/dev/null"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                self.assertEqual(res.returncode, 0, what + res.stderr.decode())
            for name in os.listdir(out):
                os.unlink(os.path.join(out, name))
            os.rmdir(out)
        print("outcomes of %d runs: %s" % (self.RUNS, outcomes))


class BadSavefiles(CaptureCase):
    def savefile(self, name, data):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_refused_before_any_file_is_written(self):
        with open(trace("vxlan.pcap"), "rb") as f:
            good = f.read()
        other_link = bytearray(good)
        other_link[20:24] = (113).to_bytes(4, "little")  # Linux cooked capture
        corrupt = bytearray(good)
        corrupt[24 + 8:24 + 12] = (0x7fffffff).to_bytes(4, "little")  # first caplen
        cases = {
            "garbage": os.urandom(4096),
            "cut_header": good[:20],
            "cut_record": good[:-5],
            "corrupt_length": bytes(corrupt),
            "other_link_type": bytes(other_link),
            "empty_file": b"",
        }
        os.mkdir(self.path("out"))
        for name, data in cases.items():
            with self.subTest(savefile=name):
                dev = "file:" + self.savefile(name, data)
                res = run(["-p", "2", "-i", dev, "-w", self.path("out/c.pcap")], timeout=60)
                err = res.stderr.decode()
                self.assertEqual(res.returncode, 255, err)
                lines = err.splitlines()
                self.assertEqual(len(lines), 2, err)
                self.assertTrue(lines[0].startswith("Cannot "), err)
                self.assertEqual(lines[1], "Cannot open device %s." % dev)
                self.assertEqual(os.listdir(self.path("out")), [])

    def test_zero_packet_savefiles_give_header_only_files(self):
        with open(trace("OSPFv2_Capture_FINAL.pcapng"), "rb") as f:
            ng = f.read()
        # Section header and interface description, the blocks before the
        # first packet; block length is the second 32-bit word.
        shb_len = int.from_bytes(ng[4:8], "little")
        idb_len = int.from_bytes(ng[shb_len + 4:shb_len + 8], "little")
        cases = {
            "usec": pcapfile_header(0xA1B2C3D4),
            "nsec": pcapfile_header(0xA1B23C4D),
            "pcapng": ng[:shb_len + idb_len],
        }
        for name, data in cases.items():
            with self.subTest(savefile=name):
                dev = "file:" + self.savefile(name, data)
                base = self.path(name + "-out.pcap")
                res = run(["-p", "2", "-i", dev, "-w", base], timeout=60)
                self.assertEqual(res.returncode, 0, res.stderr.decode())
                (report,) = parse_reports(res.stderr.decode())
                self.assertEqual(report.summary[1:], (0, 0))
                for i in (0, 1):
                    out = self.path("%s-out_%d.pcap" % (name, i))
                    self.assertDumpHeader(pcapfile.read(out))
                    self.assertEqual(trace_count(out), 0)


def pcapfile_header(magic):
    return (magic.to_bytes(4, "little") + (2).to_bytes(2, "little") + (4).to_bytes(2, "little") +
            bytes(8) + (65535).to_bytes(4, "little") + (1).to_bytes(4, "little"))


class HostileArguments(CaptureCase):
    LONG = 100000

    def test_long_arguments_are_refused_or_taken_whole(self):
        cases = [
            (["-p", "9" * self.LONG], "Cannot run more than 128 capture threads.\n"),
            (["-i", "x" * self.LONG], "Cannot use a device name longer than 63 characters.\n"),
            (["-w", "x" * self.LONG], "Cannot use a dumpfile name longer than 2047 characters.\n"),
            (["-q", "1," * (self.LONG // 2)], "Cannot use a thread list longer than 2047 characters.\n"),
            (["udp", "x" * self.LONG], "Cannot use a bpf rule longer than 2047 characters.\n"),
            (["-i", AFS, "-w", "x" * self.LONG], "Cannot use a dumpfile name longer than 2047 characters.\n"),
        ]
        for args, message in cases:
            with self.subTest(option=args[0]):
                res = run(args, cwd=self.dir, timeout=60)
                self.assertEqual((res.returncode, res.stdout, res.stderr.decode()), (0, b"", message))
                self.assertEqual(os.listdir(self.dir), [])

    def test_long_numbers_that_mean_something_small(self):
        # Leading zeros: octal 2 workers; a count beyond 64 bits: no limit.
        res = run(["-p", "0" * self.LONG + "2", "-c", "9" * self.LONG, "-i", AFS, "-w",
                   self.path("c.pcap")], timeout=60)
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        (report,) = parse_reports(res.stderr.decode())
        self.assertEqual(sorted(report.threads), [0, 1])
        self.assertEqual(report.summary[2], 601)

    def test_control_and_non_ascii_bytes(self):
        odd = b"caf\xc3\xa9 \x01\x1b[31m\x7f\xff\tx"
        # A dump file name is used as given, bytes and all.
        base = os.fsencode(self.dir) + b"/" + odd + b".pcap"
        res = subprocess.run([TRAWLCAP_PATH, "-i", AFS, "-w", base], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(os.listdir(os.fsencode(self.dir)), [odd + b"_0.pcap"])
        self.assertIn(b"dumpfile " + base + b", 601 packets recved, 601 packets captured.",
                      res.stderr)
        os.unlink(os.fsencode(self.dir) + b"/" + odd + b"_0.pcap")

        cases = [
            (["-i", odd], 255, b"Cannot open device " + odd + b".\n"),
            (["-i", AFS, "-w", self.path("c.pcap"), odd], 255, b"Cannot compile bpf rules for thread 0"),
            (["-i", AFS, "-p", b"\x01"], 0, b""),
            (["-i", AFS, "-q", b"\xff"], 0, b""),
            (["-i", AFS, "-c", b"\xef\xbb\xbf1"], None, None),
        ]
        for args, rc, message in cases:
            with self.subTest(args=args):
                res = subprocess.run([TRAWLCAP_PATH] + args, cwd=self.dir, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=60,
                                     env=dict(os.environ, TSAN_OPTIONS=os.environ.get("TSAN_OPTIONS", "") +
                                              " report_thread_leaks=0"))
                self.assertGreaterEqual(res.returncode, 0, res.stderr)  # no crash
                if rc is not None:
                    self.assertEqual(res.returncode, rc, res.stderr)
                    if message:
                        self.assertTrue(res.stderr.endswith(message) or res.stderr.startswith(message),
                                        res.stderr)
                    else:
                        self.assertEqual(res.stderr, b"")
                for name in os.listdir(self.dir):
                    os.unlink(self.path(name))

if __name__ == "__main__":
    main()
