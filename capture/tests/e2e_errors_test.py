"""Captures that cannot start: the device or savefile, the filter or a dump
file refused, each with its "Cannot" line and status 255, and no file left
but the ones already set up."""
import errno
import os
import re

from e2e_common import CaptureCase, main, parse_reports, pcapfile, run, trace, trace_count

AFS = "file:" + trace("afs.pcap")
ODD = b"caf\xc3\xa9 \x01\x1b[31m\x7f\xff\tx"


class StartupFailures(CaptureCase):
    def test_device_not_opened(self):
        for dev in ("nosuchdev0", "", "file:" + self.path("missing.pcap"), AFS + ",loop=0",
                    os.fsdecode(ODD)):
            with self.subTest(dev=dev):
                res = run((["-i", dev] if dev else []) + ["-w", self.path("c.pcap")])
                self.assertEqual(res.returncode, 255)
                err = os.fsdecode(res.stderr)
                self.assertTrue(err.endswith("Cannot open device %s.\n" % dev), err)
                self.assertNotIn("Capture statistics", err)
                self.assertEqual(os.listdir(self.dir), [])

    def test_filter_not_compiled_leaves_header_only_file(self):
        for words in (["tcp", "port"], [os.fsdecode(ODD)]):
            with self.subTest(words=words):
                res = run(["-p", "2", "-i", AFS, "-w", self.path("c.pcap")] + words)
                self.assertEqual(res.returncode, 255)
                self.assertRegex(os.fsdecode(res.stderr),
                                 r"^Cannot compile bpf rules for thread 0, bpf rule is %s : .+\.\n$"
                                 % re.escape(" ".join(words)))
                self.assertEqual(os.listdir(self.dir), ["c_0.pcap"])
                self.assertEqual(os.path.getsize(self.path("c_0.pcap")), 24)
                self.assertDumpHeader(pcapfile.read(self.path("c_0.pcap")))
                os.unlink(self.path("c_0.pcap"))

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



    def test_statistics_file_that_cannot_be_written_is_said_once(self):
        res = run(["-S", self.path("gone/s.prom"), "-i", "file:" + trace("afs.pcap") + ",loop=3000",
                   "-w", self.path("c.pcap")], timeout=60)
        err = res.stderr.decode()
        self.assertEqual(res.returncode, 0, err)
        self.assertEqual(err.count("Cannot write statistics file %s: %s" % (
            self.path("gone/s.prom"), os.strerror(errno.ENOENT))), 1, err)
        self.assertEqual(parse_reports(err)[0].summary[1], 601 * 3000)


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

    def test_cut_last_record_replays_the_whole_ones(self):
        with open(trace("vxlan.pcap"), "rb") as f:
            cut = self.savefile("cut.pcap", f.read()[:-5])
        for dev, failed in (("file:" + cut, "1"), ("file:" + trace("vxlan.pcap"), "0")):
            res = run(["-p", "3", "-S", self.path("s.prom"), "-i", dev, "-w", self.path("c.pcap")],
                      timeout=60)
            err = res.stderr.decode()
            with open(self.path("s.prom")) as f:
                self.assertEqual(set(re.findall(r"trawlcap_source_failed\{worker=\"\d\"\} (\d+)",
                                                f.read())), {failed})
        # A damaged trace is no good capture: the report, then status 255.
        res = run(["-p", "3", "-i", "file:" + cut, "-w", self.path("c.pcap")], timeout=60)
        err = res.stderr.decode()
        self.assertEqual(res.returncode, 255, err)
        self.assertEqual(len([l for l in err.splitlines() if l.startswith("Cannot ")]), 1, err)
        self.assertEqual(parse_reports(err)[0].summary[2], trace_count(trace("vxlan.pcap")) - 1)


if __name__ == "__main__":
    main()
