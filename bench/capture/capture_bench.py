#!/usr/bin/python3
"""trawlcap against tcpdump on the same traces, filters and file system.

    capture_bench.py TRAWLCAP PCAPLIB_DIR [--quick]

Generates the traces into a scratch directory, then for each case runs, in
turn and several times over, `tcpdump -r TRACE -w OUT FILTER` and
`trawlcap -i file:TRACE,loop=N -w OUT FILTER` with 1 and 2 workers, and
prints the median packets per second of each and the peak resident memory.
Ratios are what counts: the runs alternate, so machine noise hits all alike.
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

TRAWLCAP = os.path.abspath(sys.argv[1])
sys.path.insert(0, os.path.abspath(sys.argv[2]))
import pcapfile  # noqa: E402

QUICK = "--quick" in sys.argv
ROUNDS = 1 if QUICK else 3
SUMMARY_RE = re.compile(r"Summary : dumpfile .*, (\d+) packets recved, (\d+) packets captured\.")


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


def small_trace(path, count):
    frames = [frame(f, 64) for f in range(FLOWS)]
    pcapfile.write(path, [frames[i % FLOWS] for i in range(count)])


def mixed_trace(path, count):
    # 7 of 12 frames of 64 bytes, 4 of 576, 1 of 1500; TCP and UDP.
    sizes = [64] * 7 + [576] * 4 + [1500]
    period = FLOWS * len(sizes)
    frames = [frame(i % FLOWS, sizes[i % len(sizes)], 6 if i % 3 else 17) for i in range(period)]
    pcapfile.write(path, [frames[i % period] for i in range(count)])


def timed(cmd, scratch):
    """(seconds, CPU seconds, peak RSS in KiB, stderr text) of one run. GNU time measures
    the peak: a child forked from this Python would inherit its high-water
    mark."""
    stats = os.path.join(scratch, "time.txt")
    t0 = time.perf_counter()
    res = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", stats] + cmd,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - t0
    if res.returncode != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(cmd), res.stderr.decode()))
    with open(stats) as f:
        user, system, kib = f.read().split()[-3:]
    return elapsed, float(user) + float(system), int(kib), res.stderr.decode()


def bench_case(name, trace, flt, loops, out_dir, scratch):
    npkts = len(pcapfile.read(trace).records)
    out = os.path.join(out_dir, "out.pcap")
    rates = {"tcpdump": [], "trawlcap -p 1": [], "trawlcap -p 2": []}
    rss = {k: 0 for k in rates}
    cpu = {k: [] for k in rates}
    # The replay source loads the whole trace on one thread before any worker
    # starts; a run that stops after one burst per worker times that part, so
    # the workers' own rate can be shown beside the whole-process one.
    after_load = {"trawlcap -p 1": [], "trawlcap -p 2": []}
    for _ in range(ROUNDS):
        sec, cpusec, kib, _ = timed(["tcpdump", "-r", trace, "-w", out] + flt.split(), scratch)
        rates["tcpdump"].append(npkts / sec)
        cpu["tcpdump"].append(cpusec / sec)
        rss["tcpdump"] = max(rss["tcpdump"], kib)
        for workers in (1, 2):
            key = "trawlcap -p %d" % workers
            base, _, _, _ = timed([TRAWLCAP, "-p", str(workers), "-c", str(workers), "-i",
                                   "file:%s,loop=%d" % (trace, loops), "-w", out] + flt.split(),
                                  scratch)
            sec, cpusec, kib, err = timed([TRAWLCAP, "-p", str(workers), "-i",
                                   "file:%s,loop=%d" % (trace, loops), "-w", out] + flt.split(),
                                  scratch)
            received = int(SUMMARY_RE.search(err).group(1))
            if received != npkts * loops:
                raise SystemExit("%s received %d of %d packets" % (key, received, npkts * loops))
            rates[key].append(received / sec)
            after_load[key].append(received / max(sec - base, 1e-6))
            cpu[key].append(cpusec / sec)
            rss[key] = max(rss[key], kib)
        for f in os.listdir(out_dir):
            os.unlink(os.path.join(out_dir, f))
    med = {k: statistics.median(v) for k, v in rates.items()}
    trace_mib = os.path.getsize(trace) / 2**20
    print("\n%s: %d packets, %.1f MiB, filter %r, trawlcap loop=%d"
          % (name, npkts, trace_mib, flt or "(none)", loops))
    for k in rates:
        print("  %-14s %8.2f Mpkt/s  CPUs busy %4.2f  peak RSS %6.1f MiB"
              % (k, med[k] / 1e6, statistics.median(cpu[k]), rss[k] / 1024))
    load_med = {k: statistics.median(v) for k, v in after_load.items()}
    print("  after loading: -p 1 %.2f Mpkt/s, -p 2 %.2f Mpkt/s (%.2fx); -p 1 / tcpdump %.2fx"
          % (load_med["trawlcap -p 1"] / 1e6, load_med["trawlcap -p 2"] / 1e6,
             load_med["trawlcap -p 2"] / load_med["trawlcap -p 1"],
             load_med["trawlcap -p 1"] / med["tcpdump"]))
    r1 = med["trawlcap -p 1"] / med["tcpdump"]
    r2 = med["trawlcap -p 2"] / med["trawlcap -p 1"]
    print("  1 worker / tcpdump %.2fx (target >= 2)   2 workers / 1 worker %.2fx (target >= 1.7)"
          % (r1, r2))
    for workers in (1, 2):
        limit = trace_mib + 32 * workers
        used = rss["trawlcap -p %d" % workers] / 1024
        print("  peak memory %d worker(s): %.1f MiB, limit %.1f MiB %s"
              % (workers, used, limit, "ok" if used <= limit else "OVER"))
    return r1 >= 2 and r2 >= 1.7


def main():
    # Short directory: the device name holds at most 63 characters.
    work = tempfile.mkdtemp(prefix="tcb", dir="/tmp")
    out_dir = work
    try:
        traces = os.path.join(work, "t")
        os.mkdir(traces)
        # Both write to the same memory-backed file system, so the figures
        # measure the programs rather than the disk's write-back.
        out_dir = tempfile.mkdtemp(prefix="tcb", dir="/dev/shm" if os.path.isdir("/dev/shm")
                                   else work)
        # tcpdump reads each trace once: long enough that its start-up does
        # not count; trawlcap replays it `loops` times.
        n = 20000 if QUICK else 1000000
        small = os.path.join(traces, "small.pcap")
        mixed = os.path.join(traces, "mixed.pcap")
        small_trace(small, n)
        mixed_trace(mixed, n // 2)
        print("trawlcap %s against tcpdump, %d rounds, outputs in %s" % (TRAWLCAP, ROUNDS, out_dir))
        # About 1 GB written per trawlcap run: far beyond that, page
        # allocation in the memory file system slows both programs' writes.
        small_loops, mixed_loops = (2, 2) if QUICK else (12, 5)
        ok = bench_case("64-byte packets", small, "", small_loops, out_dir, work)
        ok &= bench_case("64-byte packets", small, "tcp port 80", small_loops, out_dir, work)
        ok &= bench_case("mixed sizes (7x64, 4x576, 1x1500)", mixed, "", mixed_loops, out_dir,
                         work)
        print("\nall targets met" if ok else "\nsome targets missed")
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
