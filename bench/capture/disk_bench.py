#!/usr/bin/python3
"""trawlcap writing to a disk file system, against dd with direct I/O.

    disk_bench.py TRAWLCAP [--before OLD_TRAWLCAP] [--dir DIR] [--gib N] [--rounds N] [--loops N]

Generates a trace of N GiB (default 3) of mixed-size frames (those of
capture_bench.py) on /dev/shm, then runs ROUNDS times (default 3), each
round one program after the other:
- `dd if=TRACE of=DIR/dd.out bs=1M oflag=direct`;
- `trawlcap -p 1` and `-p 2 -j arrival -i file:TRACE,loop=N -w DIR/c.pcap`
  (N default 4) with the default write queue: the replay outruns most
  disks, what the queues cannot hold is dropped, and the figure is how fast
  the writers fill the disk;
- the same -p 1 and -p 2 with OLD_TRAWLCAP when given (a build of the commit
  before the writer threads, which wrote through the page cache), on the
  trace once: it waits for its disk and drops nothing.
Every run ends with a sync of its output files, counted in its time; then
the output's pages still in the page cache are counted (fincore) and the
output is removed. Last, -p 1 of both programs onto /dev/shm.
Figures: bytes written per second of wall clock and its ratio to dd's in
the same round (median of the rounds' ratios), CPU time (user + system of
the program and of the sync) per byte written, packets received, captured
and dropped. DIR (default /var/tmp) must be on a disk, with room for twice
the trace.
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import capture_bench  # noqa: E402  (the trace generator)

SUMMARY_RE = re.compile(r"Summary : .*, (\d+) packets recved, (\d+) packets captured\.")
DROPPED_RE = re.compile(r"\n(\d+) packets dropped because the output fell behind")


def run_synced(cmd, outputs):
    """Runs cmd, then syncs the files it wrote. (wall s, CPU s, stderr, names)."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = proc.stderr.read().decode()
    _, status, usage = os.wait4(proc.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(cmd), err))
    names = outputs()
    sync = subprocess.Popen(["sync"] + names)
    _, _, sync_usage = os.wait4(sync.pid, 0)
    wall = time.perf_counter() - t0
    cpu = sum(u.ru_utime + u.ru_stime for u in (usage, sync_usage))
    return wall, cpu, err, names


def cached_bytes(names):
    res = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES"] + names,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return sum(int(v) for v in res.stdout.split()) if res.returncode == 0 else -1


def one_run(cmd, out_dir, prefix):
    wall, cpu, err, names = run_synced(
        cmd, lambda: [os.path.join(out_dir, n) for n in sorted(os.listdir(out_dir))
                      if n.startswith(prefix)])
    written = sum(os.path.getsize(n) for n in names)
    cached = cached_bytes(names)
    for n in names:
        os.unlink(n)
    m = SUMMARY_RE.search(err)
    d = DROPPED_RE.search(err)
    return {"wall": wall, "cpu": cpu, "bytes": written, "cached": cached,
            "received": int(m.group(1)) if m else None, "captured": int(m.group(2)) if m else None,
            "dropped": int(d.group(1)) if d else 0}


def programs(args, trace, out_dir, loops):
    """The commands, by name, and the prefix of their output files. The
    replay outruns most disks, so the writers are behind from the first
    milliseconds on: the new build replays the trace `loops` times over so
    that its runs last about as long as dd's and write as much."""
    out = os.path.join(out_dir, "c.pcap")
    dd = ["dd", "if=" + trace, "of=" + os.path.join(out_dir, "dd.out"), "bs=1M", "oflag=direct",
          "status=none"]
    progs = {"dd oflag=direct": (dd, "dd.out")}
    for name, binary, device in (("new", args.trawlcap, "file:%s,loop=%d" % (trace, loops)),
                                 ("before", args.before, "file:" + trace)):
        for workers in (1, 2):
            if binary:
                progs["%s -p %d" % (name, workers)] = (
                    [binary, "-p", str(workers), "-j", "arrival", "-i", device, "-w", out], "c_")
    return progs


def rounds(progs, out_dir, count):
    """Every program once a round, in turn, so that the machine's moods
    fall on all of them alike."""
    results = {k: [] for k in progs}
    for _ in range(count):
        for key, (cmd, prefix) in progs.items():
            results[key].append(one_run(cmd, out_dir, prefix))
    return results


def report(results, base="dd oflag=direct"):
    rounds = len(results[base])
    print("%-30s %9s %9s %8s %9s %8s %8s %12s %12s" % (
        "program", "wall s", "GB/s", "/ dd", "ns/B CPU", "GB out", "cached", "captured",
        "dropped"))
    for key, runs in results.items():
        ratio = statistics.median(
            (r["bytes"] / r["wall"]) / (results[base][i]["bytes"] / results[base][i]["wall"])
            for i, r in enumerate(runs) if i < rounds)
        med = lambda f: statistics.median(f(r) for r in runs)  # noqa: E731
        print("%-30s %9.2f %9.3f %8.2f %9.3f %8.3f %7.1fM %12s %12s" % (
            key, med(lambda r: r["wall"]), med(lambda r: r["bytes"] / r["wall"] / 1e9), ratio,
            med(lambda r: r["cpu"] / r["bytes"] * 1e9), med(lambda r: r["bytes"] / 1e9),
            med(lambda r: r["cached"]) / 2**20, runs[-1]["captured"], runs[-1]["dropped"]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("trawlcap")
    ap.add_argument("--before")
    ap.add_argument("--dir", default="/var/tmp")
    ap.add_argument("--gib", type=float, default=3)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--loops", type=int, default=4)
    args = ap.parse_args()
    work = os.path.join(args.dir, "trawlcap-disk-bench")
    os.makedirs(work)
    trace = os.path.join("/dev/shm", "tcdisk.pcap")
    try:
        frames = int(args.gib * 2**30 / 371)  # 371 bytes a record on average
        capture_bench.mixed_trace(trace, frames)
        free = shutil.disk_usage(work).free
        if free < 2 * os.path.getsize(trace) + 2**30:
            raise SystemExit("%s has %.1f GiB free: too little" % (work, free / 2**30))
        print("trace %s: %d frames, %.2f GiB; output to %s; load average %s" % (
            trace, frames, os.path.getsize(trace) / 2**30, work, os.getloadavg()))
        report(rounds(programs(args, trace, work, args.loops), work, args.rounds))
        shm = os.path.join("/dev/shm", "tcdisk-out")
        os.makedirs(shm)
        try:
            tmpfs = {k: v for k, v in programs(args, trace, shm, 1).items() if k.endswith("-p 1")}
            print("\nonto /dev/shm:")
            report(rounds(tmpfs, shm, args.rounds), base="new -p 1")
        finally:
            shutil.rmtree(shm, ignore_errors=True)
        print("load average at the end %s" % (os.getloadavg(),))
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if os.path.exists(trace):
            os.unlink(trace)


if __name__ == "__main__":
    main()
