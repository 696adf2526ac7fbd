#!/usr/bin/python3
"""trawlcap --compress=zstd:1 against a plain capture compressed afterwards.

    compress_bench.py TRAWLCAP TRACES_DIR [--quick]

For each trace (the cleartext traces under TRACES_DIR looped to 192 MiB,
48 with --quick, and a generated trace of random payloads), runs side by side,
several times over, with one worker and -j arrival (so both write the same
records) into a scratch directory on /dev/shm:
- A: `trawlcap --compress=zstd:1`;
- B: plain `trawlcap`, then `zstd -1` on its file.
Prints the median CPU (user + system) of A and of B (the capture's plus
zstd's), their ratio, the size of A's file against zstd -1 of B's file,
and A's throughput in MB/s of uncompressed input. The write queue holds
the whole replay, so that neither run drops what its writer cannot keep up
with.
"""
import glob
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from capture_bench import frame, timed, write_trace  # noqa: E402

CLEARTEXT = ["afs.pcap", "dhcp-rfc4388.pcap", "edns-opts.pcap", "print-flags.pcap",
             "bgp-4byte-asn.pcap", "pptp.pcap"]


def random_trace(path, count):
    # TCP frames of 64 to 1500 bytes whose payload is random: incompressible.
    frames = []
    for i in range(1024):
        f = frame(i, 64 + (i * 97) % 1437)
        frames.append(f[:54] + os.urandom(len(f) - 54))
    write_trace(path, frames, count)


def one_round(trace, loops, out):
    dev = "file:%s,loop=%d" % (trace, loops)
    base = ["-j", "arrival", "--write-queue=1G", "-i", dev]
    wall, cpu_a, _ = timed([TRAWLCAP, "--compress=zstd:1", "-w", out + "/a.pcap"] + base)
    _, cpu_b, _ = timed([TRAWLCAP, "-w", out + "/b.pcap"] + base)
    _, cpu_z, _ = timed(["zstd", "-1", "-q", "-f", out + "/b_0.pcap", "-o", out + "/b.zst"])
    sizes = [os.path.getsize(out + n) for n in ("/a_0.pcap.zst", "/b.zst", "/b_0.pcap")]
    for f in glob.glob(out + "/*"):
        os.unlink(f)
    return cpu_a, cpu_b + cpu_z, sizes, wall


def bench(name, trace, rounds, out, total):
    size = os.path.getsize(trace)
    # Device names hold at most 63 characters.
    link = tempfile.mktemp(prefix="z", dir="/dev/shm")
    os.symlink(trace, link)
    trace = link
    loops = max(1, total // size)
    runs = [one_round(trace, loops, out) for _ in range(rounds)]
    os.unlink(link)
    cpu_a = statistics.median(r[0] for r in runs)
    cpu_b = statistics.median(r[1] for r in runs)
    a, z, raw = runs[0][2]
    mbps = raw / 1e6 / statistics.median(r[3] for r in runs)
    print("%-22s %7.1f MB  A %6.3f s  B %6.3f s  A/B %5.2f  size A %9d  zstd -1 %9d  "
          "A/zstd %5.3f  A/raw %5.3f  %6.0f MB/s" % (name, raw / 1e6, cpu_a, cpu_b, cpu_a / cpu_b,
                                                    a, z, a / z, a / raw, mbps))


def main():
    global TRAWLCAP
    TRAWLCAP = os.path.abspath(sys.argv[1])
    traces = os.path.abspath(sys.argv[2])
    rounds = 1 if "--quick" in sys.argv else 5
    total = (48 if "--quick" in sys.argv else 192) << 20
    out = tempfile.mkdtemp(prefix="trawlcap-zbench-", dir="/dev/shm")
    try:
        for name in CLEARTEXT:
            bench(name, os.path.join(traces, name), rounds, out, total)
        rnd = os.path.join(out, "..", os.path.basename(out) + "-random.pcap")
        random_trace(rnd, 60000)
        bench("random payloads", rnd, rounds, out, total)
        os.unlink(rnd)
    finally:
        shutil.rmtree(out, True)


if __name__ == "__main__":
    main()
