"""Dump files and standard output that cannot take the capture: a full
device or disk, a closed or abandoned output, a file-size limit, a read-only
file system (small tmpfs mounts of the test's own, where mounting is
permitted). Each ends in its "Cannot" line and status 255, with every file
ending on a whole record and nothing counted that did not reach it."""
import errno
import glob
import os
import re
import resource
import signal
import subprocess
import tempfile
import unittest

from e2e_common import (LIVE_LIKE, CaptureCase, main, metric, mount_ext4, parse_reports,
                        pcapfile, read_text, run, slow_reader, start, trace, wait_for,
                        whole_records, zstd_frames)

AFS = "file:" + trace("afs.pcap")  # 601 packets, 510 kB of records


def write_error_line(name, index, code):
    return "Cannot write dumpfile %s for thread %d : %s\n" % (name, index, os.strerror(code))


class StandardOutputFails(CaptureCase):
    """-w - where the data cannot go. The capture ends by itself with the
    write error, also while the device would go on for a million loops."""

    def run_into(self, how, device):
        args = ["-w", "-", "-i", device]
        if how == "closed":
            return run(args, stdout=None, preexec_fn=lambda: os.close(1), timeout=60)
        if how == "full":
            with open("/dev/full", "wb") as full:
                return run(args, stdout=full, timeout=60)
        if how == "no reader":
            r, w = os.pipe()
            os.close(r)
            try:
                return run(args, stdout=w, timeout=60)
            finally:
                os.close(w)
        head = subprocess.Popen(["head", "-c", "100"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE)
        res = run(args, stdout=head.stdin, timeout=60)
        head.stdin.close()
        with head.stdout:
            self.assertEqual(len(head.stdout.read()), 100)
        head.wait()
        return res

    def test_capture_ends_with_the_write_error(self):
        for how, code in (("full", errno.ENOSPC), ("closed", errno.EBADF),
                          ("no reader", errno.EPIPE), ("reader leaves", errno.EPIPE)):
            for device in (AFS, AFS + ",loop=1000000"):
                with self.subTest(how=how, device=device[-12:]):
                    res = self.run_into(how, device)
                    err = res.stderr.decode()
                    self.assertEqual(res.returncode, 255, err)
                    self.assertTrue(err.startswith(write_error_line("-", 0, code)), err)
                    (report,) = parse_reports(err)
                    if device == AFS:
                        # The whole trace fits the write buffer: the error
                        # shows at the latest in the final flush.
                        self.assertEqual(report.threads[0], ("", 601, 0))
                        self.assertEqual(report.summary, ("-", 601, 0))
                    else:
                        self.assertEqual(report.threads[0][2], 0)
                        self.assertLess(report.threads[0][1], 601 * 1000000)


class DumpFileFails(CaptureCase):
    def test_one_worker_file_full(self):
        os.symlink("/dev/full", self.path("c_1.pcap"))
        # A replay that never ends by itself: however fast the machine, main
        # has seen the failed file many times over before the interrupt.
        err_path, stats = self.path("stderr"), self.path("s.prom")
        proc = start(["-p", "2", "-S", stats, "-i", AFS + ",loop=1000000", "-w", self.path("c.pcap"), "icmp"],
                     stderr_path=err_path)
        failed = re.compile(r'^trawlcap_write_errors_total\{worker="1"\} [1-9]', re.M)
        wait_for(lambda: proc.poll() is not None or os.path.exists(stats) and failed.search(read_text(stats)),
                 timeout=60, what="worker 1's failed write")
        # One bad file does not stop the other worker.
        self.assertIsNone(proc.poll(), read_text(err_path))
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 255)
        err = read_text(err_path)
        self.assertIn(write_error_line(self.path("c_1.pcap"), 1, errno.ENOSPC), err)
        self.assertNotIn("thread 0 :", err)
        (report,) = parse_reports(err)
        # The failed one goes on taking and freeing packets.
        self.assertEqual(report.threads[1][2], 0)
        self.assertGreater(report.threads[1][1], 0)
        # The healthy worker's file holds exactly what its line counts.
        self.assertEqual(len(pcapfile.read(self.path("c_0.pcap")).records), report.threads[0][2])

    def test_file_size_limit(self):
        # ulimit -f: a write error like a full disk, not a death by SIGXFSZ;
        # the file keeps the whole records that fit, each counted.
        res = run(["-i", AFS + ",loop=10", "-w", self.path("c.pcap")], preexec_fn=lambda:
                  resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000)))
        err = res.stderr.decode()
        self.assertEqual(res.returncode, 255, err)
        self.assertTrue(err.startswith(write_error_line(self.path("c_0.pcap"), 0, errno.EFBIG)))
        captured = parse_reports(err)[0].threads[0][2]
        self.assertGreater(captured, 0)
        self.assertEqual(whole_records(self.path("c_0.pcap")), (captured, True))
        self.assertGreater(os.path.getsize(self.path("c_0.pcap")), 100000 - 1600)


class SlowOutput(CaptureCase):
    """-w - into a pipe slower than the capture: the worker goes on taking
    packets; what its write queue cannot hold is dropped and counted."""

    def capture_into(self, reader, args):
        stats, err = self.path("s.prom"), self.path("stderr")
        proc = start(["-w", "-", "-S", stats, "-i", AFS + ",loop=8"] + args, stdout=reader.stdin,
                     stderr_path=err, env=LIVE_LIKE)
        reader.stdin.close()
        return proc, stats, err

    def test_stalled_output_loses_nothing_the_queue_holds(self):
        reader = slow_reader(self.path("out"), sleep=9)
        proc, stats, err = self.capture_into(reader, [])
        # Every packet was taken while the reader slept.
        wait_for(lambda: metric(read_text(stats) if os.path.exists(stats) else "",
                                "received_packets_total") == 8 * 601, what="all packets taken")
        self.assertFalse(os.path.exists(self.path("out")), "the reader woke too soon to tell")
        self.assertEqual((proc.wait(timeout=60), reader.wait(timeout=60)), (0, 0))
        (report,) = parse_reports(read_text(err))
        self.assertEqual(report.threads[0], ("", 8 * 601, 8 * 601))
        self.assertEqual(len(pcapfile.read(self.path("out")).records), 8 * 601)
        self.assertNotIn("output fell behind", read_text(err))

    def test_output_slower_than_traffic(self):
        reader = slow_reader(self.path("out"), rate=1 << 20)
        proc, stats, err = self.capture_into(reader, ["--write-queue=1M"])
        self.assertEqual((proc.wait(timeout=60), reader.wait(timeout=60)), (0, 0))
        text = read_text(err)
        (report,) = parse_reports(text)
        _, received, captured = report.threads[0]
        dropped = received - captured
        self.assertEqual(received, 8 * 601)
        self.assertGreater(dropped, 0)
        self.assertIn("\n%d packets dropped because the output fell behind (per thread: %d)\n"
                      % (dropped, dropped), text)
        final = read_text(stats)
        self.assertEqual([metric(final, m) for m in ("received_packets_total",
                          "captured_packets_total", "output_dropped_packets_total")],
                         [received, captured, dropped])
        self.assertEqual(len(pcapfile.read(self.path("out")).records), captured)


def mount_tmpfs(where, options):
    os.makedirs(where, exist_ok=True)
    return subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", where],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


class MountedCase(CaptureCase):
    """Skipped where mounting is not permitted (it needs root)."""
    mnt = None

    @classmethod
    def setUpClass(cls):
        probe = tempfile.mkdtemp(prefix="trawlcap-mount-probe-")
        res = mount_tmpfs(probe, "size=4k")
        if res.returncode == 0:
            subprocess.run(["umount", probe])
        os.rmdir(probe)
        if res.returncode != 0:
            raise unittest.SkipTest("cannot mount a tmpfs here: " + res.stdout.decode().strip())

    def mount(self, options):
        self.mnt = self.path("mnt")
        res = mount_tmpfs(self.mnt, options)
        self.assertEqual(res.returncode, 0, res.stdout)

    def tearDown(self):
        # Before the scratch directory goes: it holds the mount point.
        if self.mnt:
            subprocess.run(["umount", self.mnt])
        super().tearDown()



class FullFileSystem(MountedCase):
    def capture_until_full(self, size, workers, loops):
        self.mount("size=" + size)
        base = os.path.join(self.mnt, "c.pcap")
        res = run(["-p", str(workers), "-i", AFS + ",loop=%d" % loops, "-w", base], timeout=120)
        err = res.stderr.decode()
        self.assertEqual(res.returncode, 255, err)
        (report,) = parse_reports(err)
        failed = [i for i in range(workers)
                  if write_error_line(report.threads[i][0], i, errno.ENOSPC) in err]
        self.assertTrue(failed, err)
        # No filter: every packet not in a file is counted as unwritten.
        unwritten = re.search(r"\n(\d+) packets received but not written: no dump file", err)
        self.assertEqual(int(unwritten.group(1)), report.summary[1] - report.summary[2], err)
        # Whatever the disk took, each file holds its header and exactly the
        # records counted as captured, and no piece of one more: tcpdump
        # reads it to the end.
        for i, (name, _, captured) in report.threads.items():
            # Every header was written before any worker filled the disk.
            self.assertEqual(whole_records(name), (captured, True), "%s\n%s" % (name, err))
            res = subprocess.run(["tcpdump", "-r", name, "-w", "-"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            self.assertEqual(res.returncode, 0, res.stderr.decode())
        return report

    def test_full_before_the_first_flush(self):
        # Several workers on a small disk: each keeps what fits, whole.
        for workers in (2, 3):
            report = self.capture_until_full("64k", workers, 5)
            self.assertGreater(report.summary[2], 0)
            subprocess.run(["umount", self.mnt])

    def test_full_after_some_flushes(self):
        # The first 1 MiB flush fits, the second does not.
        report = self.capture_until_full("1600k", 1, 10)
        self.assertGreater(report.summary[2], 0)
        self.assertLess(report.summary[2], 601 * 10)

    def test_appending_standard_output_keeps_what_was_there(self):
        # trawlcap -w - >> old: the disk has room for 6 bytes of the header.
        self.mount("size=64k")
        old = os.urandom(65530)
        with open(os.path.join(self.mnt, "old"), "wb") as f:
            f.write(old)
        # As a shell opens it: O_APPEND, the offset left at 0.
        out = os.open(os.path.join(self.mnt, "old"), os.O_WRONLY | os.O_APPEND)
        res = run(["-w", "-", "-i", AFS], stdout=out, timeout=60)
        os.close(out)
        self.assertTrue(res.stderr.decode().startswith(write_error_line("-", 0, errno.ENOSPC)))
        with open(os.path.join(self.mnt, "old"), "rb") as f:
            self.assertEqual(f.read(), old)

    def test_another_appending_writer_keeps_what_it_wrote(self):
        # trawlcap -w - >> f beside another program appending to f on a disk
        # that fills: trawlcap cuts only its own bytes.
        self.mount("size=512k")
        name = os.path.join(self.mnt, "shared")
        out = os.open(name, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
        proc = start(["-w", "-", "-i", AFS + ",loop=1000000"], stdout=out)
        written = []
        with open(name, "ab", buffering=0) as other:
            for i in range(100000):
                block = b"<other %08d>" % i
                try:
                    if other.write(block) != len(block):
                        break
                except OSError:
                    break
                written.append(block)
        self.assertEqual(proc.wait(timeout=60), 255)
        os.close(out)
        with open(name, "rb") as f:
            data = f.read()
        self.assertTrue(all(block in data for block in written))

    def test_standard_output_opened_in_place_ends_on_a_whole_record(self):
        # trawlcap -w - 1<> old: written over from the start, without O_TRUNC.
        self.mount("size=64k")
        with open(os.path.join(self.mnt, "old"), "wb") as f:
            f.write(os.urandom(30000))
        out = os.open(os.path.join(self.mnt, "old"), os.O_RDWR)
        res = run(["-w", "-", "-i", AFS], stdout=out, timeout=60)
        os.close(out)
        err = res.stderr.decode()
        self.assertTrue(err.startswith(write_error_line("-", 0, errno.ENOSPC)), err)
        self.assertEqual(whole_records(os.path.join(self.mnt, "old")),
                         (parse_reports(err)[0].summary[2], True))


    def ext4(self):
        mnt = self.path("ext4")
        umount = mount_ext4(mnt, 8)
        if not umount:
            self.skipTest("cannot make and mount an ext4 image here")
        self.addCleanup(umount)
        return mnt

    def test_full_disk_file_written_directly_keeps_the_piped_bytes(self):
        # A small ext4, whose files take O_DIRECT: the file holds what a pipe
        # gets, up to the last whole record that fit, each counted.
        mnt = self.ext4()
        dev = AFS + ",loop=30"
        want = run(["-j", "arrival", "-w", "-", "-i", dev]).stdout
        res = run(["-j", "arrival", "-w", os.path.join(mnt, "c.pcap"), "-i", dev])
        name = os.path.join(mnt, "c_0.pcap")
        self.assertEqual(res.returncode, 255)
        self.assertTrue(res.stderr.decode().startswith(write_error_line(name, 0, errno.ENOSPC)))
        with open(name, "rb") as f:
            got = f.read()
        self.assertGreater(len(got), 4 << 20)
        self.assertEqual(got, want[:len(got)])
        self.assertEqual(whole_records(name), (parse_reports(res.stderr.decode())[0].summary[2], True))


    def test_full_under_rotation_is_said_once_per_worker(self):
        # Each worker's writer finds the disk full; files its worker asked
        # for meanwhile are not tried (and not said) until a second later.
        # On ext4 a new file's header still fits where its records do not.
        mnt = self.ext4()
        res = run(["-p", "2", "-C", "1M", "-i", AFS + ",loop=30", "-w",
                   os.path.join(mnt, "c.pcap")], timeout=120)
        err = res.stderr.decode()
        self.assertEqual(res.returncode, 255, err)
        said = [l.split(" for thread ")[1].split(" :")[0]
                for l in err.splitlines() if l.startswith("Cannot")]
        self.assertTrue(said, err)
        self.assertEqual(sorted(said), sorted(set(said)), err)
        for name in glob.glob(os.path.join(mnt, "c_*")):
            self.assertEqual(whole_records(name)[1], True, name)


    def test_full_compressed_file_ends_on_its_last_whole_frame(self):
        self.mount("size=200k")
        res = run(["--compress=zstd", "-i", AFS + ",loop=50", "-w", self.path("mnt/c.pcap")])
        (report,) = parse_reports(res.stderr.decode())
        data, whole, _ = zstd_frames(report.threads[0][0])
        self.assertEqual((res.returncode, whole), (255, True))
        self.assertEqual(len(pcapfile.parse(data).records), report.threads[0][2])


class FreeSpaceFloor(MountedCase):
    def test_compressed_files_keep_the_floor(self):
        self.mount("size=2m")
        # The queue holds the whole replay, which outruns compression.
        res = run(["-p", "2", "-C", "256k", "--min-free=1M", "--compress=zstd", "-i",
                   AFS + ",loop=60", "--write-queue=32M", "-w", self.path("mnt/c.pcap")])
        (report,) = parse_reports(res.stderr.decode())
        self.assertEqual((res.returncode, report.summary[1:]), (0, (601 * 60, 601 * 60)))
        vfs = os.statvfs(self.mnt)
        self.assertGreater(vfs.f_bavail * vfs.f_frsize, (1024 - 256 - 8) * 1024)
        for name in os.listdir(self.mnt):
            self.assertEqual(zstd_frames(os.path.join(self.mnt, name))[1], True, name)

    def test_capture_of_several_times_the_disk_keeps_the_floor(self):
        self.mount("size=4m")
        stats = self.path("s.prom")
        res = run(["-p", "2", "-C", "256k", "--min-free=1M", "-S", stats, "-i", AFS + ",loop=60",
                   "-w", os.path.join(self.mnt, "c.pcap")], timeout=120)
        err = res.stderr.decode()
        self.assertEqual(res.returncode, 0, err)
        (report,) = parse_reports(err)
        self.assertEqual(report.summary[1:], (601 * 60, 601 * 60))
        vfs = os.statvfs(self.mnt)
        # The floor is kept before each new file: a file being written may dip below it.
        self.assertGreater(vfs.f_bavail * vfs.f_frsize, (1024 - 256 - 8) * 1024)
        with open(stats) as f:
            self.assertRegex(f.read(), r"trawlcap_removed_files_total [1-9]")
        for name in os.listdir(self.mnt):
            self.assertEqual(whole_records(os.path.join(self.mnt, name))[1], True)


    def test_a_write_the_floor_rescued_is_no_failure(self):
        # Files larger than the floor: a write finds the disk full, the floor
        # makes room, the write goes on; nothing is lost, nothing is said.
        self.mount("size=3m")
        res = run(["-C", "1", "--min-free=10k", "-i", AFS + ",loop=100", "-w",
                   os.path.join(self.mnt, "c.pcap")], timeout=120)
        err = res.stderr.decode()
        self.assertEqual(res.returncode, 0, err)
        self.assertNotIn("Cannot", err)
        (report,) = parse_reports(err)
        self.assertEqual(report.summary[1:], (60100, 60100))
        for name in os.listdir(self.mnt):
            self.assertEqual(whole_records(os.path.join(self.mnt, name))[1], True)

    def test_the_floor_removes_in_the_order_files_were_closed(self):
        # -z logs every file with the time of its last write, which orders
        # them as they closed (commands of one worker queue behind each other,
        # so the log's own order is not that); the floor takes the oldest
        # first, whichever worker wrote it (a file whose command still runs waits).
        self.mount("size=16m")
        script, log = self.path("z.sh"), self.path("log")
        with open(script, "w") as f:
            f.write('#!/bin/sh\nstat -c "%%.9Y %%n" "$1" >> %s\n' % log)
        os.chmod(script, 0o755)
        res = run(["-p", "3", "-C", "256k", "--min-free=4M", "-z", script, "-i", AFS + ",loop=60",
                   "-w", os.path.join(self.mnt, "c.pcap")], timeout=120)
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        with open(log) as f:
            closed = [n for _, n in sorted(line.split() for line in f)]
        # Files the floor took before their command ran are not in the log.
        removed = [n for n in closed if not os.path.exists(n)]
        self.assertTrue(removed)
        self.assertLessEqual(set(removed), set(closed[:len(removed) + 2]))


class BriefOutage(CaptureCase):
    def test_output_folder_gone_for_two_seconds(self):
        # Under -G 1 every worker tries a new file each second, and a
        # compressed file under -C when the writer's next frame would pass
        # the size: the failure is said once, the capture goes on into the
        # folder made again, and the run ends as a failure, what could not
        # be written counted.
        for opts in (["-G", "1", "udp", "port", "7003"], ["--compress=zstd", "-C", "1"]):
            with self.subTest(opts=opts):
                self.outage(opts)

    def outage(self, opts):
        out, err = self.path("out" + opts[0]), self.path("stderr" + opts[0])
        os.mkdir(out)
        proc = start(["-p", "2", "-i", AFS + ",loop=1000000", "-w", os.path.join(out, "g.pcap")] + opts,
                     stderr_path=err)
        self.addCleanup(proc.kill)  # a capture left running by a failed check
        wait_for(lambda: len(os.listdir(out)) >= 4, what="two windows' files")
        os.rename(out, out + ".gone")  # at once: files keep coming while rm empties it
        wait_for(lambda: read_text(err).count("Cannot open dumpfile") == 2, what="both failures")
        os.mkdir(out)
        wait_for(lambda: len(os.listdir(out)) >= 4, what="files in the folder made again")
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 255)
        text = read_text(err)
        for i in (0, 1):
            self.assertEqual(text.count("Cannot open dumpfile %s/g_%d_" % (out, i)), 1, text)
        self.assertEqual(text.count("Cannot"), 2, text)
        self.assertRegex(text, r"\n\d+ packets received but not written: no dump file could take "
                               r"them \(per thread: \d+ \d+\)\n")
        for name in os.listdir(out):
            if opts[0] == "-G":
                self.assertEqual(whole_records(os.path.join(out, name))[1], True)


class ReadOnlyFileSystem(MountedCase):
    def test_dump_file_not_created(self):
        self.mount("ro,size=64k")
        base = os.path.join(self.mnt, "c.pcap")
        res = run(["-p", "2", "-i", AFS, "-w", base], timeout=60)
        self.assertEqual(res.returncode, 255)
        name = os.path.join(self.mnt, "c_0.pcap")
        self.assertEqual(res.stderr.decode(),
                         "Cannot open pcap dumper for thread 0, dumpfile is %s : %s: %s.\n"
                         % (name, name, os.strerror(errno.EROFS)))
        self.assertEqual(os.listdir(self.mnt), [])


if __name__ == "__main__":
    main()
