"""Dump files on a file system that fills up or is read-only: small tmpfs
mounts of the test's own. Needs the right to mount (root); skipped otherwise."""
import errno
import os
import subprocess
import sys

from e2e_common import SKIP, CaptureCase, main, parse_reports, run, trace

AFS = "file:" + trace("afs.pcap")  # 601 packets, 510 kB of records


def mount_tmpfs(where, options):
    os.makedirs(where, exist_ok=True)
    return subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", where],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


class MountedCase(CaptureCase):
    mnt = None

    def mount(self, options):
        self.mnt = self.path("mnt")
        res = mount_tmpfs(self.mnt, options)
        self.assertEqual(res.returncode, 0, res.stdout)

    def tearDown(self):
        # Before the scratch directory goes: it holds the mount point.
        if self.mnt:
            subprocess.run(["umount", self.mnt])
        super().tearDown()


def records_and_rest(path):
    """Whole records after the file header, and whether nothing follows them."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        return 0, len(data) == 0
    off, n = 24, 0
    while off + 16 <= len(data):
        caplen = int.from_bytes(data[off + 8:off + 12], "little")
        if off + 16 + caplen > len(data):
            break
        off += 16 + caplen
        n += 1
    return n, off == len(data)


class FullFileSystem(MountedCase):
    def capture_until_full(self, size, workers, loops):
        self.mount("size=" + size)
        base = os.path.join(self.mnt, "c.pcap")
        res = run(["-p", str(workers), "-i", AFS + ",loop=%d" % loops, "-w", base], timeout=120)
        err = res.stderr.decode()
        self.assertEqual(res.returncode, 255, err)
        (report,) = parse_reports(err)
        failed = [i for i in range(workers)
                  if "Cannot write dumpfile %s for thread %d : %s\n"
                  % (report.threads[i][0], i, os.strerror(errno.ENOSPC)) in err]
        self.assertTrue(failed, err)
        # Whatever the disk took, each file holds its header and exactly the
        # records counted as captured, and no piece of one more: tcpdump
        # reads it to the end.
        for i, (name, _, captured) in report.threads.items():
            self.assertEqual(records_and_rest(name), (captured, True), "%s\n%s" % (name, err))
            res = subprocess.run(["tcpdump", "-r", name, "-w", "/dev/null"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            self.assertEqual(res.returncode, 0, res.stderr.decode())
        return report

    def test_full_before_the_first_flush(self):
        report = self.capture_until_full("64k", 2, 5)
        self.assertEqual(report.summary[2], 0)

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
        self.assertTrue(res.stderr.decode().startswith("Cannot write dumpfile - for thread 0 : %s\n"
                                                       % os.strerror(errno.ENOSPC)))
        with open(os.path.join(self.mnt, "old"), "rb") as f:
            self.assertEqual(f.read(), old)


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
    probe = os.path.join("/tmp", "trawlcap-mount-probe-%d" % os.getpid())
    res = mount_tmpfs(probe, "size=4k")
    if res.returncode != 0:
        print("skipped: cannot mount a tmpfs here (%s)" % res.stdout.decode().strip())
        os.rmdir(probe)
        sys.exit(SKIP)
    subprocess.run(["umount", probe])
    os.rmdir(probe)
    main()
