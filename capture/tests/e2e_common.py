"""Shared helpers of the trawlcap end-to-end tests, on tests/lib/harness.py.

Every test script is run by ctest as
    python3 SCRIPT TRAWLCAP TRACES_DIR PCAPLIB_DIR
and checks trawlcap's files with two readers that share no code with it:
tests/lib/pcapfile.py (bytes parsed by hand) and tcpdump.
"""
import atexit
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile

TRAWLCAP, TRACES, PCAPLIB = (os.path.abspath(p) for p in sys.argv[1:4])
sys.path.insert(0, PCAPLIB)
import harness  # noqa: E402
import pcapfile  # noqa: E402

read_text, wait_for = harness.read_text, harness.wait_for  # for the scripts
MAX_PACKET = 65535

THREAD_RE = re.compile(r"    Thread (\d+): dumpfile (.*), (\d+) packets recved, (\d+) packets captured\.")
SUMMARY_RE = re.compile(r"    Summary : dumpfile (.*), (\d+) packets recved, (\d+) packets captured\.")


# Device names hold at most 63 characters, so the tests reach the traces
# through a short directory of links, wherever the source tree lives.
_SHORT = tempfile.mkdtemp(prefix="tc", dir="/tmp")
atexit.register(shutil.rmtree, _SHORT, True)
for _name in os.listdir(TRACES):
    os.symlink(os.path.join(TRACES, _name), os.path.join(_SHORT, _name))


def trace(name):
    return os.path.join(_SHORT, name)


class Report:
    def __init__(self, threads, summary):
        self.threads = threads    # {index: (dumpfile, received, captured)}
        self.summary = summary    # (dumpfile, received, captured)


def parse_reports(stderr):
    """Every report in stderr, checked line by line against the format."""
    reports = []
    lines = stderr.split("\n")
    i = 0
    while i < len(lines):
        if lines[i] != "Capture statistics:":
            i += 1
            continue
        assert i > 0 and lines[i - 1] == "", "report must open with an empty line:\n" + stderr
        threads = {}
        i += 1
        while True:
            m = THREAD_RE.fullmatch(lines[i])
            if not m:
                break
            threads[int(m.group(1))] = (m.group(2), int(m.group(3)), int(m.group(4)))
            i += 1
        m = SUMMARY_RE.fullmatch(lines[i])
        assert m, "bad report line %r in:\n%s" % (lines[i], stderr)
        assert lines[i + 1] == "", "report must end with an empty line:\n" + stderr
        reports.append(Report(threads, (m.group(1), int(m.group(2)), int(m.group(3)))))
        i += 2
    return reports


# The stand-in with the platform's calls alone: its replay does not say that
# it waits for its reader, so trawlcap treats it as a live source, which
# drops what a full write queue cannot take.
LIVE_LIKE = dict(os.environ, LD_LIBRARY_PATH=os.environ.get("TRAWLKIT_PLAIN_VEXMO", ""))


def run(args, **kw):
    return harness.run([TRAWLCAP] + list(args), **kw)


def start(args, wrapper=(), **kw):
    """A running trawlcap (see harness.start); wrapper is a command prefix
    such as ip netns exec NAME."""
    return harness.start(list(wrapper) + [TRAWLCAP] + list(args), **kw)


def wait_files(proc, paths, min_size=-1, timeout=60):
    """Waits until every one of paths is there and larger than min_size
    bytes, or proc has ended. trawlcap makes a worker's file only once its
    stop handlers are in, so that a stop then ends the capture in order."""
    def ready():
        try:
            return all(os.path.getsize(p) > min_size for p in paths)
        except OSError:
            return False
    wait_for(lambda: proc.poll() is not None or ready(), timeout=timeout, what=" and ".join(paths))


def tcpdump_select(path, flt):
    """The records tcpdump selects from path with flt, as a pcapfile.PcapFile."""
    cmd = ["tcpdump", "-r", path, "-w", "-"] + (flt.split() if flt else [])
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True).stdout
    return pcapfile.parse(out)


def tcpdump_count(data):
    """Number of records tcpdump reads from savefile bytes on its standard input."""
    res = subprocess.run(["tcpdump", "-r", "-", "-w", "-"], input=data, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    if res.returncode != 0:
        raise AssertionError("tcpdump cannot read the stream: " + res.stderr.decode())
    return len(pcapfile.parse(res.stdout).records)


def whole_records(path):
    """Whole records after a valid file header, and whether nothing follows
    them; a walk over the record headers, fast for files of many megabytes."""
    with open(path, "rb") as f:
        data = f.read()
    pcapfile.parse(data[:24])  # the file header alone: magic and fields
    off, n = 24, 0
    while off + 16 <= len(data):
        end = off + 16 + int.from_bytes(data[off + 8:off + 12], "little")
        if end > len(data):
            break
        off, n = end, n + 1
    return n, off == len(data)


def zstd_frames(path):
    """The bytes zstd decodes from the whole frames of path (a walk over
    the frame and block headers finds where the last whole frame ends),
    whether nothing follows them, and how many there are."""
    with open(path, "rb") as f:
        data = f.read()
    off = frames = 0
    while data[off:off + 4] == b"\x28\xb5\x2f\xfd" and off + 5 <= len(data):
        fhd = data[off + 4]
        p = off + 6 - (fhd >> 5 & 1) + (0, 1, 2, 4)[fhd & 3] + (fhd >> 5 & 1, 2, 4, 8)[fhd >> 6]
        last = 0
        while not last and p + 3 <= len(data):
            block = int.from_bytes(data[p:p + 3], "little")
            last, p = block & 1, p + 3 + (1 if block >> 1 & 3 == 1 else block >> 3)
        if not last or p + 4 * (fhd >> 2 & 1) > len(data):
            break
        off, frames = p + 4 * (fhd >> 2 & 1), frames + 1
    return subprocess.run(["zstd", "-dc"], input=data[:off], stdout=subprocess.PIPE,
                          check=True).stdout, off == len(data), frames


def payloads(pcap):
    return collections.Counter(r[4] for r in pcap.records)


def trace_count(path):
    return len(tcpdump_select(path, "").records)


def slow_reader(out, sleep=0.0, go="", rate=0):
    """A process that copies its standard input into the file out, once it
    has slept `sleep` seconds and the file `go` exists (when given; at most
    a minute), at about `rate` bytes a second (when given). out appears when
    it starts."""
    code = ("import os, sys, time\nout, go, sleep, rate = sys.argv[1:]\ntime.sleep(float(sleep))\n"
            "end = time.monotonic() + 60\n"
            "while go and not os.path.exists(go) and time.monotonic() < end:\n    time.sleep(0.02)\n"
            "with open(out, 'wb') as f:\n    for b in iter(lambda: sys.stdin.buffer.read1(65536), b''):\n"
            "        f.write(b)\n        time.sleep(len(b) / int(rate) if int(rate) else 0)\n")
    return subprocess.Popen([sys.executable, "-c", code, out, go, str(sleep), str(rate)],
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)


def metric(text, name, worker=0):
    """A worker's value of a metric in the text of a statistics file (-S)."""
    m = re.search(r'^trawlcap_%s\{worker="%d"\} (\d+)$' % (name, worker), text, re.M)
    return int(m.group(1)) if m else None


def mount_ext4(where, megabytes):
    """A small ext4 loop-mounted at where: a disk file system, which takes
    O_DIRECT as tmpfs does not everywhere. A function that unmounts it, or
    None where mounting is not permitted here."""
    os.makedirs(where, exist_ok=True)
    image = where + ".img"
    with open(image, "wb") as f:
        f.truncate(megabytes << 20)
    steps = (["mkfs.ext4", "-q", "-F", image], ["mount", "-o", "loop", image, where])
    if not shutil.which("mkfs.ext4") or any(
            subprocess.run(c, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
            for c in steps):
        return None
    return lambda: subprocess.run(["umount", where])


class CaptureCase(harness.ScratchCase):
    """A case with a scratch directory and checks of trawlcap's dump files."""

    def assertDumpHeader(self, pcap):
        self.assertEqual(pcap.endian, "<")
        self.assertFalse(pcap.nsec)
        self.assertEqual(pcap.version, (2, 4))
        self.assertEqual(pcap.snaplen, MAX_PACKET)
        self.assertEqual(pcap.linktype, 1)
        self.assertEqual(pcap.trailing, b"")

    def assertReportMatchesFiles(self, report, files):
        """Each worker's file holds exactly the records its line counts."""
        for i, (name, _, captured) in report.threads.items():
            pcap = pcapfile.read(name if os.path.isabs(name) else files[i])
            self.assertDumpHeader(pcap)
            self.assertEqual(len(pcap.records), captured, "thread %d, %s" % (i, name))


def main():
    harness.main(3)
