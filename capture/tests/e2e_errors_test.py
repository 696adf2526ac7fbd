"""Every way a capture fails: message, exit status, files left behind."""
import errno
import os
import resource
import subprocess

from e2e_common import (CaptureCase, main, parse_reports,
                        pcapfile, run, trace)

AFS = "file:" + trace("afs.pcap")


class CommandLineRejections(CaptureCase):
    def test_rejected_options_exit_0_silently(self):
        for args in (["-p", "abc"], ["-c", ""], ["-q", ",,,,"], ["-q", "abc"], ["-q", "-1"]):
            with self.subTest(args=args):
                res = run(args + ["-i", AFS], cwd=self.dir)
                self.assertEqual((res.returncode, res.stdout, res.stderr), (0, b"", b""))
                self.assertEqual(os.listdir(self.dir), [])

    def test_getopt_diagnostic_only(self):
        for args in (["-x"], ["-p"], ["-i", AFS, "-w"]):
            with self.subTest(args=args):
                res = run(args, cwd=self.dir)
                self.assertEqual(res.returncode, 0)
                self.assertEqual(res.stdout, b"")
                err = res.stderr.decode()
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertNotIn("Cannot", err)
                self.assertEqual(os.listdir(self.dir), [])

    def test_values_the_record_cannot_hold(self):
        cases = [(["-p", "129"], "Cannot run more than 128 capture threads.\n"),
                 (["-p", "4294967297"], "Cannot run more than 128 capture threads.\n"),
                 (["tcp"] * 512, "Cannot use a bpf rule longer than 2047 characters.\n"),
                 (["-i", "file:" + "x" * 59], "Cannot use a device name longer than 63 characters.\n"),
                 (["-w", "x" * 2048], "Cannot use a dumpfile name longer than 2047 characters.\n"),
                 (["-q", "1" * 2048], "Cannot use a thread list longer than 2047 characters.\n")]
        for args, message in cases:
            with self.subTest(args=args[:2]):
                res = run(["-i", AFS] + args, cwd=self.dir)
                self.assertEqual((res.returncode, res.stdout), (0, b""))
                self.assertEqual(res.stderr.decode(), message)
                self.assertEqual(os.listdir(self.dir), [])


class StartupFailures(CaptureCase):
    def test_device_not_opened(self):
        for dev in ("nosuchdev0", "", "file:" + self.path("missing.pcap"), AFS + ",loop=0"):
            with self.subTest(dev=dev):
                res = run((["-i", dev] if dev else []) + ["-w", self.path("c.pcap")])
                self.assertEqual(res.returncode, 255)
                err = res.stderr.decode()
                self.assertTrue(err.endswith("Cannot open device %s.\n" % dev), err)
                self.assertNotIn("Capture statistics", err)
                self.assertEqual(os.listdir(self.dir), [])

    def test_filter_not_compiled_leaves_header_only_file(self):
        res = run(["-p", "2", "-i", AFS, "-w", self.path("c.pcap"), "tcp", "port"])
        self.assertEqual(res.returncode, 255)
        err = res.stderr.decode()
        self.assertRegex(err, r"^Cannot compile bpf rules for thread 0, bpf rule is tcp port : "
                              r".+\.\n$")
        self.assertEqual(os.listdir(self.dir), ["c_0.pcap"])
        self.assertEqual(os.path.getsize(self.path("c_0.pcap")), 24)
        self.assertDumpHeader(pcapfile.read(self.path("c_0.pcap")))

    def test_dump_file_not_opened(self):
        base = self.path("missing/c.pcap")
        res = run(["-p", "2", "-i", AFS, "-w", base])
        self.assertEqual(res.returncode, 255)
        self.assertEqual(res.stderr.decode(),
                         "Cannot open pcap dumper for thread 0, dumpfile is %s : %s: %s.\n"
                         % (self.path("missing/c_0.pcap"), self.path("missing/c_0.pcap"),
                            os.strerror(errno.ENOENT)))

    def test_worker_name_that_would_be_cut(self):
        # The base fits the record, but "_10" does not: the worker must not
        # write to the cut name, which is another file.
        base = self.path("") + "d/" * ((2047 - len(self.path(""))) // 2 - 1) + "c"
        base += "x" * (2047 - len(base))
        res = run(["-p", "11", "-q", "10", "-i", AFS, "-w", base])
        self.assertEqual(res.returncode, 255)
        self.assertRegex(res.stderr.decode(), r"^Cannot open pcap dumper for thread 10, dumpfile is "
                         r".*: %s\.\n$" % os.strerror(errno.ENAMETOOLONG))
        self.assertEqual(os.listdir(self.dir), [])

    def test_second_worker_file_not_opened(self):
        os.mkdir(self.path("c_1.pcap"))  # a directory where the file should go
        # Worker 0 is writing when worker 1's set-up fails; it is stopped and
        # joined before the exit flushes its file, so the file ends on a
        # record boundary. (Under ThreadSanitizer a worker left running would
        # also be reported as a leaked thread.)
        res = run(["-p", "2", "-i", AFS + ",loop=200", "-w", self.path("c.pcap")])
        self.assertEqual(res.returncode, 255)
        err = res.stderr.decode()
        name = self.path("c_1.pcap")
        self.assertEqual(err, "Cannot open pcap dumper for thread 1, dumpfile is %s : %s: %s.\n"
                         % (name, name, os.strerror(errno.EISDIR)))
        first = pcapfile.read(self.path("c_0.pcap"))
        self.assertDumpHeader(first)
        self.assertEqual(first.trailing, b"")


class WriteErrors(CaptureCase):
    def write_error_line(self, name, index, code):
        return "Cannot write dumpfile %s for thread %d : %s\n" % (name, index, os.strerror(code))

    def test_standard_output_full(self):
        with open("/dev/full", "wb") as full:
            res = run(["-w", "-", "-i", AFS], stdout=full)
        self.assertEqual(res.returncode, 255)
        err = res.stderr.decode()
        self.assertTrue(err.startswith(self.write_error_line("-", 0, errno.ENOSPC)), err)
        (report,) = parse_reports(err)
        # Nothing reached the device, so nothing counts as captured.
        self.assertEqual(report.threads[0], ("", 601, 0))
        self.assertEqual(report.summary, ("-", 601, 0))

    def test_one_worker_file_full(self):
        os.symlink("/dev/full", self.path("c_1.pcap"))
        # Long enough to outlast several of main's 100 ms polls.
        res = run(["-p", "2", "-i", AFS + ",loop=10000", "-w", self.path("c.pcap"), "icmp"])
        self.assertEqual(res.returncode, 255)
        err = res.stderr.decode()
        self.assertIn(self.write_error_line(self.path("c_1.pcap"), 1, errno.ENOSPC), err)
        self.assertNotIn("thread 0 :", err)
        (report,) = parse_reports(err)
        # One bad file does not stop the other worker: it captures its whole
        # stream, while the failed one goes on taking and freeing packets.
        self.assertEqual(report.threads[1][2], 0)
        self.assertEqual(report.summary[1], 601 * 10000)
        # The healthy worker's file holds exactly what its line counts.
        self.assertEqual(len(pcapfile.read(self.path("c_0.pcap")).records), report.threads[0][2])

    def test_file_size_limit(self):
        # ulimit -f: a write error like a full disk, not a death by SIGXFSZ;
        # the file keeps its header, so it stays a valid savefile.
        res = run(["-i", AFS + ",loop=10", "-w", self.path("c.pcap")], preexec_fn=lambda:
                  resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000)))
        err = res.stderr.decode()
        self.assertEqual(res.returncode, 255, err)
        self.assertTrue(err.startswith(self.write_error_line(self.path("c_0.pcap"), 0, errno.EFBIG)))
        self.assertEqual(parse_reports(err)[0].threads[0][2], 0)
        self.assertDumpHeader(pcapfile.read(self.path("c_0.pcap")))

    def broken_pipe(self, device):
        head = subprocess.Popen(["head", "-c", "100"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE)
        res = run(["-w", "-", "-i", device], stdout=head.stdin, timeout=60)
        head.stdin.close()
        with head.stdout:
            out = head.stdout.read()
        head.wait()
        self.assertEqual(len(out), 100)
        self.assertEqual(res.returncode, 255)
        err = res.stderr.decode()
        self.assertTrue(err.startswith(self.write_error_line("-", 0, errno.EPIPE)), err)
        (report,) = parse_reports(err)
        return report

    def test_broken_pipe_at_the_end(self):
        # The whole trace fits in the write buffer: the error shows in the
        # final flush, which wrote at most what head and the pipe took.
        report = self.broken_pipe(AFS)
        self.assertEqual(report.threads[0], ("", 601, 0))

    def test_broken_pipe_ends_a_long_capture(self):
        # The error shows while the workers run; the capture stops by itself
        # instead of replaying a million loops into nowhere.
        report = self.broken_pipe(AFS + ",loop=1000000")
        self.assertLess(report.threads[0][1], 601 * 1000000)


if __name__ == "__main__":
    main()
