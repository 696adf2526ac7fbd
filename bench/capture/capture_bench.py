#!/usr/bin/python3
"""trawlcap against tcpdump and a reference loop, on the same traces and
file system.

    capture_bench.py TRAWLCAP PCAPLIB_DIR REFERENCE_LOOP [--quick]

Generates the traces into a scratch directory, then runs, in turn and
several times over:
- on each trace: `tcpdump -r TRACE -w OUT FILTER`, `trawlcap -p 1 -i
  file:TRACE -w OUT FILTER` and the reference loop (REFERENCE_LOOP: the
  per-record work of a worker with the savefile mapped in place and no
  packet source), whole-process wall-clock times;
- `trawlcap -p 1` and `-p 2` on the 64-byte trace with loop=4;
- on a trace of about 1 GB: the peak of `Anonymous:` in
  /proc/PID/smaps_rollup while one worker replays it, and `-c 32` on it;
  then one worker on it without and with -C 64M -W 4, -S, -j arrival.
Prints medians; ratios are what counts: the runs alternate, so machine noise
hits all alike.
"""
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

# Set by configure(); the trace generators need none of them (disk_bench.py
# imports this file for them, with tests/lib on its path).
TRAWLCAP = REFERENCE = None
QUICK = False
ROUNDS = 5
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/lib"))
import pcapfile  # noqa: E402


def configure(argv):
    global TRAWLCAP, REFERENCE, QUICK, ROUNDS
    TRAWLCAP = os.path.abspath(argv[1])
    REFERENCE = os.path.abspath(argv[3])
    QUICK = "--quick" in argv
    ROUNDS = 1 if QUICK else 5
SUMMARY_RE = re.compile(r"(\d+) packets recved, (\d+) packets captured\.")


def checksum(header):
    s = sum(struct.unpack("!10H", header))
    s = (s >> 16) + (s & 0xFFFF)
    return (~(s + (s >> 16))) & 0xFFFF


def frame(flow, size, proto=6):
    """An Ethernet/IPv4 frame of size bytes; TCP or UDP; flow picks addresses and ports."""
    l4len = 20 if proto == 6 else 8
    payload = size - 14 - 20 - l4len
    ip_total = 20 + l4len + payload
    src = bytes([10, 1, (flow >> 8) & 0xFF, flow & 0xFF])
    dst = bytes([192, 168, 0, 1 + flow % 200])
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, ip_total, flow & 0xFFFF, 0, 64, proto, 0, src, dst)
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    sport = 1024 + flow % 60000
    dport = 80 if flow % 4 == 0 else 443
    if proto == 6:
        l4 = struct.pack("!HHIIBBHHH", sport, dport, flow, 0, 0x50, 0x18, 65535, 0, 0)
    else:
        l4 = struct.pack("!HHHH", sport, dport, l4len + payload, 0)
    eth = b"\x02\x00\x00\x00\x00\x02" + b"\x02\x00\x00\x00\x00\x01" + b"\x08\x00"
    return eth + ip + l4 + bytes(payload)


FLOWS = 4096


def write_trace(path, frames, count):
    """count records cycling through frames, written a period at a time."""
    period = b"".join(struct.pack("<IIII", 1700000000, i, len(f), len(f)) + f
                      for i, f in enumerate(frames))
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", pcapfile.MAGIC_USEC, 2, 4, 0, 0, 65535, 1))
        for _ in range(count // len(frames)):
            out.write(period)
        rest = count % len(frames)
        out.write(b"".join(struct.pack("<IIII", 1700000000, i, len(f), len(f)) + f
                           for i, f in enumerate(frames[:rest])))


def small_trace(path, count):
    write_trace(path, [frame(f, 64) for f in range(FLOWS)], count)


def mixed_trace(path, count):
    # 7 of 12 frames of 64 bytes, 4 of 576, 1 of 1500; TCP and UDP.
    sizes = [64] * 7 + [576] * 4 + [1500]
    period = FLOWS * len(sizes)
    write_trace(path, [frame(i % FLOWS, sizes[i % len(sizes)], 6 if i % 3 else 17)
                       for i in range(period)], count)


def timed(cmd):
    """(wall seconds, CPU seconds, packets received) of one run."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = proc.stderr.read().decode()
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(cmd), err))
    m = SUMMARY_RE.findall(err)  # trawlcap: the summary comes last
    return elapsed, usage.ru_utime + usage.ru_stime, int(m[-1][0]) if m else None


def clean(out_dir):
    for f in os.listdir(out_dir):
        os.unlink(os.path.join(out_dir, f))


def side_by_side(name, trace, flt, npkts, out_dir):
    """tcpdump, trawlcap -p 1 and the reference loop on one trace."""
    out = os.path.join(out_dir, "out.pcap")
    cmds = {"tcpdump -r -w": ["tcpdump", "-r", trace, "-w", out] + flt.split(),
            "trawlcap -p 1": [TRAWLCAP, "-p", "1", "-i", "file:" + trace, "-w", out] + flt.split(),
            "reference loop": [REFERENCE, trace, out, "1"] + flt.split()}
    times = {k: [] for k in cmds}
    cpu = {k: [] for k in cmds}
    for _ in range(ROUNDS):
        for key, cmd in cmds.items():
            sec, cpusec, received = timed(cmd)
            if received is not None and received != npkts:
                raise SystemExit("%s received %d of %d packets" % (key, received, npkts))
            times[key].append(sec)
            cpu[key].append(cpusec)
            clean(out_dir)
    med = {k: statistics.median(v) for k, v in times.items()}
    mcpu = {k: statistics.median(v) for k, v in cpu.items()}
    print("\n%s, filter %r: %d packets, %.1f MiB" % (name, flt or "(none)", npkts,
                                                      os.path.getsize(trace) / 2**20))
    for k, v in med.items():
        print("  %-15s %7.1f ms  %6.2f Mpkt/s  CPU %7.1f ms" % (k, v * 1e3, npkts / v / 1e6,
                                                               mcpu[k] * 1e3))
    r_ref = med["reference loop"] / med["trawlcap -p 1"]
    r_tcpdump = med["tcpdump -r -w"] / med["trawlcap -p 1"]
    print("  trawlcap speed / reference %.2fx (target >= 0.9), / tcpdump %.2fx (target > 1);"
          " by CPU time %.2fx, %.2fx" % (r_ref, r_tcpdump,
                                         mcpu["reference loop"] / mcpu["trawlcap -p 1"],
                                         mcpu["tcpdump -r -w"] / mcpu["trawlcap -p 1"]))
    return r_ref >= 0.9 and r_tcpdump > 1


def two_workers(trace, npkts, out_dir):
    out = os.path.join(out_dir, "out.pcap")
    times = {1: [], 2: []}
    cpu = {1: [], 2: []}
    for _ in range(ROUNDS):
        for workers in (1, 2):
            sec, cpusec, received = timed([TRAWLCAP, "-p", str(workers), "-i",
                                           "file:%s,loop=4" % trace, "-w", out])
            if received != 4 * npkts:
                raise SystemExit("-p %d received %d of %d" % (workers, received, 4 * npkts))
            times[workers].append(sec)
            cpu[workers].append(cpusec)
            clean(out_dir)
    med = {k: statistics.median(v) for k, v in times.items()}
    ratio = med[1] / med[2]
    print("\n64-byte trace, loop=4: -p 1 %.1f ms, -p 2 %.1f ms: %.2fx (target >= 1.7); "
          "CPU -p 1 %.1f ms, -p 2 %.1f ms" % (med[1] * 1e3, med[2] * 1e3, ratio,
                                               statistics.median(cpu[1]) * 1e3,
                                               statistics.median(cpu[2]) * 1e3))
    return ratio >= 1.7


def options_side_by_side(trace, npkts, out_dir):
    """One worker over the large trace without and with the options of a
    capture box (rotation with a ring, the statistics file, arrival time
    stamps), the runs interleaved. What they add should be within noise."""
    out = os.path.join(out_dir, "out.pcap")
    base = [TRAWLCAP, "-p", "1", "-i", "file:" + trace, "-w", out]
    variants = {"plain": [], "-C 64M -W 4": ["-C", "64M", "-W", "4"],
                "-S": ["-S", os.path.join(out_dir, "s.prom")], "-j arrival": ["-j", "arrival"]}
    times = {k: [] for k in variants}
    cpu = {k: [] for k in variants}
    for _ in range(ROUNDS):
        for key, extra in variants.items():
            sec, cpusec, received = timed(base + extra)
            if received != npkts:
                raise SystemExit("%s received %d of %d packets" % (key, received, npkts))
            times[key].append(sec)
            cpu[key].append(cpusec)
            clean(out_dir)
    print("\n%.0f MiB trace, one worker, options side by side:" % (os.path.getsize(trace) / 2**20))
    plain, plain_cpu = statistics.median(times["plain"]), statistics.median(cpu["plain"])
    for k in variants:
        w, c = statistics.median(times[k]), statistics.median(cpu[k])
        print("  %-12s %7.1f ms (%.2fx plain)  CPU %7.1f ms (%.2fx)" % (k, w * 1e3, w / plain,
                                                                     c * 1e3, c / plain_cpu))


def anonymous_kib(pid):
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith("Anonymous:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def big_trace_memory(trace, out_dir):
    """Peak anonymous memory of one worker over the whole trace, sampled
    every millisecond, and the time of -c 32 on it."""
    out = os.path.join(out_dir, "out.pcap")
    proc = subprocess.Popen([TRAWLCAP, "-p", "1", "-i", "file:" + trace, "-w", out],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    while proc.poll() is None:
        peak = max(peak, anonymous_kib(proc.pid))
        time.sleep(0.001)
    clean(out_dir)
    quick = []
    for _ in range(ROUNDS):
        quick.append(timed([TRAWLCAP, "-p", "1", "-c", "32", "-i", "file:" + trace, "-w", out])[0])
        clean(out_dir)
    c32 = statistics.median(quick)
    print("\n%.0f MiB trace, one worker: peak Anonymous %.1f MiB (target < 64); -c 32 %.1f ms "
          "(target < 100)" % (os.path.getsize(trace) / 2**20, peak / 1024, c32 * 1e3))
    return peak < 64 * 1024 and c32 < 0.1


def main():
    configure(sys.argv)
    # Traces and outputs on the memory file system, so the figures measure
    # the programs, not the disk. Short directory: a device name holds at
    # most 63 characters.
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else "/tmp"
    work = tempfile.mkdtemp(prefix="tcb", dir=shm)
    out_dir = os.path.join(work, "o")
    os.mkdir(out_dir)
    try:
        n = 20000 if QUICK else 1000000
        small, mixed, big = (os.path.join(work, t) for t in ("s.pcap", "m.pcap", "b.pcap"))
        small_trace(small, n)
        mixed_trace(mixed, n * 2 // 5)
        print("trawlcap %s, %d interleaved rounds, medians, in %s" % (TRAWLCAP, ROUNDS, work))
        ok = side_by_side("64-byte packets", small, "", n, out_dir)
        ok &= side_by_side("64-byte packets", small, "tcp port 80", n, out_dir)
        ok &= side_by_side("mixed sizes (7x64, 4x576, 1x1500)", mixed, "", n * 2 // 5, out_dir)
        ok &= two_workers(small, n, out_dir)
        os.unlink(mixed)
        big_n = 20000 if QUICK else 2800000
        mixed_trace(big, big_n)
        ok &= big_trace_memory(big, out_dir)
        options_side_by_side(big, big_n, out_dir)
        print("\nall targets met" if ok else "\nsome targets missed")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
