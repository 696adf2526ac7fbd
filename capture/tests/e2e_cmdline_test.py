"""What the command line refuses, and what it takes whole however odd."""
import os

from e2e_common import CaptureCase, main, parse_reports, run, trace

AFS = "file:" + trace("afs.pcap")
LONG = 100000
ODD = b"caf\xc3\xa9 \x01\x1b[31m\x7f\xff\tx"

THREADS = "Cannot run more than 128 capture threads.\n"
DEVICE = "Cannot use a device name longer than 63 characters.\n"
DUMPFILE = "Cannot use a dumpfile name longer than 2047 characters.\n"
LIST = "Cannot use a thread list longer than 2047 characters.\n"
RULE = "Cannot use a bpf rule longer than 2047 characters.\n"


class CommandLineRejections(CaptureCase):
    def test_rejected_options_exit_0_silently(self):
        for args in (["-p", "abc"], ["-c", ""], ["-q", ",,,,"], ["-q", "abc"], ["-q", "-1"],
                     ["-p", b"\x01"], ["-q", b"\xff"], ["-c", b"\xef\xbb\xbf1"]):
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
        # Just beyond each field, and far beyond it: refused whole, never cut.
        cases = [(["-p", "129"], THREADS), (["-p", "4294967297"], THREADS),
                 (["-p", "9" * LONG], THREADS),
                 (["-i", "file:" + "x" * 59], DEVICE), (["-i", "x" * LONG], DEVICE),
                 (["-w", "x" * 2048], DUMPFILE), (["-w", "x" * LONG], DUMPFILE),
                 (["-q", "1" * 2048], LIST), (["-q", "1," * (LONG // 2)], LIST),
                 (["tcp"] * 512, RULE), (["udp", "x" * LONG], RULE)]
        for args, message in cases:
            with self.subTest(args=[a[:20] for a in args[:2]]):
                res = run(["-i", AFS] + args, cwd=self.dir, timeout=60)
                self.assertEqual((res.returncode, res.stdout), (0, b""))
                self.assertEqual(res.stderr.decode(), message)
                self.assertEqual(os.listdir(self.dir), [])


    def test_newer_options_refuse_what_cannot_work(self):
        # One line that says why, status 0 as for any refused command line,
        # before anything is opened or created.
        plain = dict(os.environ, LD_LIBRARY_PATH=os.environ.get("TRAWLKIT_PLAIN_VEXMO", ""))
        cases = [(["-C", "0"], "file size of '0'"), (["-G", "1s"], "every '1s' seconds"),
                 (["-W", "3"], "without -C or -G"), (["-C", "1", "--min-free", "1x"], "'1x' free"),
                 (["-G", "60", "-w", "-"], "-: it is a stream"), (["-z", "gzip", "-w", "/dev/null"], "stream"),
                 (["-z", "no-such-command-x"], "find command no-such-command-x"),
                 (["-z", trace("afs.pcap")], "find command %s to run" % trace("afs.pcap")),  # not executable
                 (["-Z", "no-such-user-x"], "user no-such-user-x"), (["-s", "262145"], "0 to 262144"),
                 (["-j", "adapter"], "'adapter'"), (["--min-free=1G"], "without -C or -G"),
                 (["--write-queue=1k"], "'1k'"), (["-p", "9", "--write-queue=1000000G"], "memory available"),
                 (["--compress=gzip"], "'gzip'"), (["--compress=zstd:23"], "level '23': give -")]
        for args, why in cases + [(["-j", "arrival"], "no vexmo_buff_tstamp")]:
            with self.subTest(args=args):
                res = run(args + ["-i", AFS], cwd=self.dir, env=plain if "arrival" in args else None)
                err = res.stderr.decode()
                self.assertEqual((res.returncode, res.stdout), (0, b""))
                self.assertTrue(err.startswith("Cannot ") and err.count("\n") == 1 and why in err, err)
                self.assertEqual(os.listdir(self.dir), [])

    def test_check_says_what_a_run_would_refuse_with_status_1(self):
        # --check anywhere among the options: the refusal line of a run (or,
        # where a run prints none, a line of its own), status 1; a command
        # line a run takes: nothing printed, status 0. Nothing is created.
        stats, files = self.path("t.prom"), self.path("cap.pcap")
        cases = [(["-C", "0x10", "--check"], "file size of '0x10'"), (["-W", "3"], "without -C or -G"),
                 (["-Z", "no-such-user-x"], "user no-such-user-x"), (["-p", "129"], "128 capture"),
                 (["-p", "abc"], "a number without digits"), (["-s", "00", "--check"], "'00'"),
                 (["-w", files, "-G", "60", "-W", "2", "-z", "gzip", "-S", stats], None)]
        for args, why in cases:
            with self.subTest(args=args):
                res = run(["--check", "-i", AFS] + args if "--check" not in args else args, cwd=self.dir)
                err = res.stderr.decode()
                self.assertEqual((res.returncode, res.stdout), (1 if why else 0, b""))
                self.assertTrue(err.startswith("Cannot ") and err.count("\n") == 1 and why in err
                                if why else err == "", err)
                self.assertEqual(os.listdir(self.dir), [])

    def test_help_and_version_on_standard_output(self):
        for args, want in ((["-h"], b"Usage: trawlcap [-p threads]"), (["--help", "-x"], b"-C SIZE"),
                           (["--version"], b"trawlcap 1.")):
            res = run(args, cwd=self.dir)
            self.assertEqual((res.returncode, res.stderr), (0, b""))
            self.assertIn(want, res.stdout)
            self.assertEqual(os.listdir(self.dir), [])


class OddArguments(CaptureCase):
    def test_long_numbers_that_mean_something_small(self):
        # Leading zeros: octal 2 workers; a count beyond 64 bits: no limit.
        res = run(["-p", "0" * LONG + "2", "-c", "9" * LONG, "-i", AFS, "-w",
                   self.path("c.pcap")], timeout=60)
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        (report,) = parse_reports(res.stderr.decode())
        self.assertEqual(sorted(report.threads), [0, 1])
        self.assertEqual(report.summary[2], 601)

    def test_dump_file_name_used_byte_for_byte(self):
        base = os.fsencode(self.dir) + b"/" + ODD + b".pcap"
        res = run(["-i", AFS, "-w", base], timeout=60)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(os.listdir(os.fsencode(self.dir)), [ODD + b"_0.pcap"])
        self.assertIn(b"dumpfile " + base + b", 601 packets recved, 601 packets captured.",
                      res.stderr)


if __name__ == "__main__":
    main()
