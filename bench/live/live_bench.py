#!/usr/bin/python3
"""Live capture: trawlcap against tcpdump, netsniff-ng and dumpcap on one veth pair.

    live_bench.py TRAWLCAP SENDER [--smoke] [--rounds N] [--count N] [--rate N] [--baseline OLD]

Creates a network namespace of its own (tests/lib/netns.py) with a veth
pair va <-> vb. For each capturer in turn it starts the capturer on vb
(writing to /dev/shm), waits until its packet socket is bound and a short
warm-up has passed, has SENDER (live_send.c) send the same frames into va,
waits for the capturer to drain, stops it with SIGINT and reads its output
back with `tcpdump -r --count`.
Modes: the sender's full speed, a fixed rate, and no frames at all (what a
capturer spends to start, wait and stop). The capturers alternate within a
round, the order rotates between rounds, and the figures are medians over
the rounds: the machine is shared, so noise hits all alike.

CPU time is the capturer's user + system time from wait4(), and also over
the traffic alone: the run time of its threads (/proc/PID/task/*/schedstat,
in nanoseconds) and their voluntary context switches (wake-ups) from just
before sending to the end of the drain, which leaves out its start-up and
stop. When trawlcap has -j (time stamps from the source, "arrival", or
from the clock at write, "write"), both are run. On a veth pair
the kernel copies each frame into the capturers' rings inside the sender's
system call, so that copy is not in any capturer's figure.

Peers that are not installed are installed with apt-get; a peer that does
not install is left out. --smoke checks that the benchmark works, in
seconds: trawlcap and tcpdump only, few frames, one round, no idle runs.
Needs root; prints SKIP and exits 0 where namespaces cannot be made.
LIVE_BENCH_TAG, when set, goes into the namespace's name beside the pid.
--baseline OLD runs another build of trawlcap (-p 1, the first -j mode) in
the same rounds, as "baseline": old and new side by side under one load.
"""
import glob
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "lib"))
import netns  # noqa: E402

TRAWLCAP = os.path.abspath(sys.argv[1])
SENDER = os.path.abspath(sys.argv[2])
SMOKE = "--smoke" in sys.argv
BASELINE = os.path.abspath(sys.argv[sys.argv.index("--baseline") + 1]) if "--baseline" in sys.argv else None


def option(name, default):
    if name in sys.argv:
        return int(sys.argv[sys.argv.index(name) + 1])
    return default


ROUNDS = option("--rounds", 1 if SMOKE else 5)
FULL_COUNT = option("--count", 2000 if SMOKE else 2000000)
RATE = option("--rate", 20000 if SMOKE else 100000)
RATE_SECONDS = 0.1 if SMOKE else 4
SEND_LIMIT_S = 30
WARMUP_S = 0.3 if SMOKE else 0.5
# tcpdump hands a ring block over after at most 1 s: stopping sooner would
# cut off frames that the kernel already counted as received.
DRAIN_S = 1.3 if SMOKE else 1.5
FILTER = ["udp", "dst", "port", "9"]
NS = netns.Namespace("benchlive" + os.environ.get("LIVE_BENCH_TAG", ""))


def sh(*cmd, check=True):
    res = subprocess.run(cmd, capture_output=True, text=True)
    if check and res.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(cmd), res.stderr.strip()))
    return res


def install_peers():
    """Installs netsniff-ng and dumpcap when missing; a failure only skips them."""
    missing = [pkg for tool, pkg in (("netsniff-ng", "netsniff-ng"), ("dumpcap", "wireshark-common"))
               if not shutil.which(tool)]
    if not missing or SMOKE:
        return
    print("installing %s" % " ".join(missing), flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    # dumpcap's package asks whether to install it setuid; the benchmark runs as root.
    subprocess.run(["debconf-set-selections"], input="wireshark-common "
                   "wireshark-common/install-setuid boolean false\n", text=True,
                   capture_output=True)
    apt = ["apt-get", "-o", "DPkg::Lock::Timeout=300"]
    subprocess.run(apt + ["update", "-qq"], env=env, capture_output=True)
    res = subprocess.run(apt + ["install", "-y", "-qq", "--no-install-recommends"] + missing,
                         env=env, capture_output=True, text=True)
    if res.returncode != 0:
        print("could not install %s: %s" % (" ".join(missing), res.stderr.strip()[-300:]))


def trawlcap_drops(err):
    # The stand-in prints one line per interface that dropped frames, none otherwise.
    m = re.search(r"(\d+) packets dropped by kernel", err)
    return int(m.group(1)) if m else 0


def tcpdump_drops(err):
    m = re.search(r"(\d+) packets? dropped by kernel", err)
    return int(m.group(1)) if m else None


def netsniff_drops(err):
    m = re.search(r"(\d+)\s+packets failed filter \(out of space\)", err)
    return int(m.group(1)) if m else None


def dumpcap_drops(err):
    m = re.search(r"Packets received/dropped on interface '[^']*': \d+/(\d+)", err)
    return int(m.group(1)) if m else None


def stamp_modes():
    """trawlcap's -j words when it has the option, else [None]."""
    res = subprocess.run([TRAWLCAP, "-j", "arrival", "-i", "file:/nonexistent"], capture_output=True,
                         text=True)
    return [None] if "invalid option" in res.stderr else ["arrival", "write"]


def capturers(out):
    """(name, argv, output files, packet sockets it binds, drops parser) for each."""
    modes = stamp_modes()
    table = [("trawlcap -p 1" + (" -j " + m if m else ""),
              [TRAWLCAP, "-p", "1"] + (["-j", m] if m else []) + ["-i", "vb", "-w", out + "/t1%s.pcap" % i],
              [out + "/t1%s_0.pcap" % i], 1, trawlcap_drops) for i, m in enumerate(modes)]
    if BASELINE:
        flags = ["-p", "1"] + (["-j", modes[0]] if modes[0] else [])
        table.append(("baseline " + " ".join(flags), [BASELINE] + flags + ["-i", "vb", "-w", out + "/b1.pcap"],
                      [out + "/b1_0.pcap"], 1, trawlcap_drops))
    table += [
        ("trawlcap -p 2" + (" -j " + modes[0] if modes[0] else ""),
         [TRAWLCAP, "-p", "2"] + (["-j", modes[0]] if modes[0] else []) + ["-i", "vb", "-w", out + "/t2.pcap"], [out + "/t2_0.pcap", out + "/t2_1.pcap"], 2, trawlcap_drops),
        # -Z root: stay root, so that the output directory stays writable.
        ("tcpdump", ["tcpdump", "-Z", "root", "-i", "vb", "-w", out + "/td.pcap"],
         [out + "/td.pcap"], 1, tcpdump_drops),
        ("netsniff-ng", ["netsniff-ng", "--in", "vb", "--out", out + "/ns.pcap", "--silent"],
         [out + "/ns.pcap"], 1, netsniff_drops),
        ("dumpcap", ["dumpcap", "-i", "vb", "-P", "-w", out + "/dc.pcap"],
         [out + "/dc.pcap"], 1, dumpcap_drops),
    ]
    if SMOKE:
        table = table[:len(modes) + 2 + bool(BASELINE)]  # the peers are optional; a smoke run only checks the bench works
    return [c for c in table if shutil.which(c[1][0])]


def bound_sockets(pid, ifindex):
    """Packet sockets of pid's namespace bound to ifindex (the sender has none open)."""
    try:
        with open("/proc/%d/net/packet" % pid) as f:
            rows = f.read().splitlines()[1:]
    except OSError:
        return 0
    return sum(1 for r in rows if len(r.split()) > 4 and r.split()[4] == str(ifindex))


def wait_rusage(pid, timeout):
    """(exit status, user + system seconds, voluntary context switches), killing
    pid after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        got, status, ru = os.wait4(pid, os.WNOHANG)
        if got == pid:
            return status, ru.ru_utime + ru.ru_stime, ru.ru_nvcsw
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            timeout = 1e9
        time.sleep(0.02)


def thread_totals(pid):
    """(run time in seconds, voluntary context switches) of pid's threads so far."""
    cpu = switches = 0
    for task in glob.glob("/proc/%d/task/*" % pid):
        try:
            with open(task + "/schedstat") as f:
                cpu += int(f.read().split()[0]) / 1e9
            with open(task + "/status") as f:
                switches += int(re.search(r"^voluntary_ctxt_switches:\s+(\d+)", f.read(), re.M).group(1))
        except (OSError, AttributeError):
            pass  # a thread that ended meanwhile
    return cpu, switches


def count_frames(files):
    total = 0
    for f in files:
        res = subprocess.run(["tcpdump", "-r", f, "--count"] + FILTER, capture_output=True,
                             text=True)
        m = re.match(r"(\d+) packets", res.stdout)
        if not m:
            raise RuntimeError("cannot read %s back: %s" % (f, res.stderr.strip()))
        total += int(m.group(1))
    return total


def run_one(cap, ifindex, mac, count, rate, scratch):
    """One capture: a dict of figures, or None when the capturer did not start."""
    name, argv, files, sockets, drops_of = cap
    err_path = os.path.join(scratch, "stderr")
    with open(err_path, "w") as err:
        proc = subprocess.Popen(NS.cmd(*argv), stdout=err, stderr=err, stdin=subprocess.DEVNULL)
    pid = proc.pid  # ip netns exec execs the capturer in place: same process
    deadline = time.monotonic() + 15
    while bound_sockets(pid, ifindex) < sockets and time.monotonic() < deadline:
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    time.sleep(WARMUP_S)
    if proc.poll() is not None or bound_sockets(pid, ifindex) < sockets:
        proc.kill()
        proc.wait()
        print("  %s did not start: %s" % (name, open(err_path).read().strip()[-300:]))
        return None
    sent = 0
    before = thread_totals(pid)
    if count:
        limit = SEND_LIMIT_S if rate == 0 else count / rate + 5
        res = sh(*NS.cmd(SENDER, "va", mac, str(count), str(rate), str(limit)))
        sent = int(re.match(r"sent (\d+) frames in ([\d.]+) s", res.stdout).group(1))
        send_s = float(re.match(r"sent (\d+) frames in ([\d.]+) s", res.stdout).group(2))
    time.sleep(DRAIN_S)
    after = thread_totals(pid)
    traffic, wakeups = after[0] - before[0], after[1] - before[1]
    proc.send_signal(signal.SIGINT)
    status, cpu, sleeps = wait_rusage(pid, 30)
    proc.returncode = status  # reaped above: keep Popen from waiting again
    text = open(err_path).read()
    try:
        captured = count_frames(files)
    except RuntimeError as e:
        print("  %s: %s" % (name, e))
        return None
    finally:
        for f in files:
            if os.path.exists(f):
                os.unlink(f)
    return {"sent": sent, "captured": captured, "lost": sent - captured, "drops": drops_of(text),
            "cpu": cpu, "traffic": traffic, "wakeups": wakeups, "sleeps": sleeps,
            "rate": sent / max(send_s, 1e-3) if count else 0}


def median(rows, key):
    vals = [r[key] for r in rows if r[key] is not None]
    return statistics.median(vals) if vals else None


def report(mode, results, idle):
    print("\n%s (medians of %d rounds)" % (mode, ROUNDS))
    print("  %-24s %8s %8s %8s %8s %6s %9s %8s %8s %9s %9s %7s %7s %7s" % (
        "capturer", "sent", "captured", "lost", "k.drops", "lossy", "frames/s", "CPU ms",
        "idle ms", "ns/frame", "net ns/fr", "traffic", "wakeups", "sleeps"))
    for name, rows in results.items():
        if not rows:
            continue
        # ns/frame: the run's CPU time over its captured frames. net: less
        # what the same capturer spent in a run with no frames (start-up,
        # waiting, stop), so that a costly start does not count per frame.
        # traffic: only what it spent from just before sending to just
        # before the stop, from its threads' run times.
        still = median(idle.get(name, []), "cpu") or 0
        per = [r["cpu"] / r["captured"] * 1e9 for r in rows if r["captured"]]
        net = [(r["cpu"] - still) / r["captured"] * 1e9 for r in rows if r["captured"]]
        drops = median(rows, "drops")
        lossy = "%d/%d" % (sum(1 for r in rows if r["lost"]), len(rows))
        traffic = [r["traffic"] / r["captured"] * 1e9 for r in rows if r["captured"]]
        print("  %-24s %8d %8d %8d %8s %6s %9.0f %8.1f %8.1f %9.0f %9.0f %7.0f %7d %7d" % (
            name, median(rows, "sent"), median(rows, "captured"), median(rows, "lost"),
            "-" if drops is None else "%d" % drops, lossy, median(rows, "rate"),
            median(rows, "cpu") * 1e3, still * 1e3, statistics.median(per),
            statistics.median(net) if idle else float("nan"), statistics.median(traffic),
            median(rows, "wakeups"), median(rows, "sleeps")))
    for name in results:
        if name.startswith(("trawlcap -p 1", "baseline")):
            for key, what in (("traffic", "over the traffic alone"), ("cpu", "whole run")):
                ratio(results, name, "tcpdump", key, what)


def ratio(results, mine, theirs, key, what):
    """Median over the rounds of the two capturers' CPU per captured frame, taken
    round by round: each pair ran within seconds of each other."""
    pairs = [a[key] / a["captured"] / (b[key] / b["captured"])
             for a, b in zip(results.get(mine, []), results.get(theirs, []))
             if a["captured"] and b["captured"] and b[key] > 0]
    if pairs:
        print("  CPU per captured frame, %s / %s, %s, round by round: median %.2f (%s)" % (
            mine, theirs, what, statistics.median(pairs), " ".join("%.2f" % p for p in pairs)))


def send_alone(mac):
    """The sender's rate with no capturer on the link."""
    res = sh(*NS.cmd(SENDER, "va", mac, str(FULL_COUNT), "0", str(SEND_LIMIT_S)))
    m = re.match(r"sent (\d+) frames in ([\d.]+) s", res.stdout)
    return int(m.group(1)) / max(float(m.group(2)), 1e-3)


def bench(ifindex, mac, out, scratch):
    caps = capturers(out)
    modes = [("full speed", FULL_COUNT, 0),
             ("fixed rate %d frames/s" % RATE, int(RATE * RATE_SECONDS), RATE),
             ("idle", 0, 0)][:2 if SMOKE else 3]
    results = {m[0]: {c[0]: [] for c in caps} for m in modes}
    alone = []
    ok = True
    for rnd in range(ROUNDS):
        order = caps[rnd % len(caps):] + caps[:rnd % len(caps)]
        alone.append(send_alone(mac))
        for mode, count, rate in modes:
            for cap in order:
                r = run_one(cap, ifindex, mac, count, rate, scratch)
                if r is None or (count and r["captured"] == 0):
                    ok = False
                    continue
                results[mode][cap[0]].append(r)
                print("round %d %-24s %-24s sent %8d captured %8d drops %8s CPU %7.3f s traffic %7.3f s"
                      % (rnd + 1, mode, cap[0], r["sent"], r["captured"], r["drops"], r["cpu"],
                         r["traffic"]), flush=True)
    print("\nsender alone, no capturer: %.0f frames/s" % statistics.median(alone))
    for mode, _, _ in modes[:2]:
        report(mode, results[mode], results.get("idle", {}))
    print("\nk.drops: the capturer's own count of kernel drops. lossy: runs that lost frames. frames/s: the sender's rate in those runs. "
          "idle ms: a run with no frames (start, warm-up, drain, stop). "
          "traffic: ns per frame of the CPU time spent from the start of sending to the "
          "end of the drain (/proc/PID/task/*/schedstat). wakeups: voluntary context switches "
          "over the same span; sleeps: over the whole run (wait4).")
    return ok


def main():
    try:
        with NS:
            NS.veth("vb", "va")
            link = json.loads(NS.run("ip", "-j", "link", "show", "vb").stdout)[0]
            return bench_on(link["ifindex"], link["address"])
    except unittest.SkipTest as e:
        print("SKIP: live benchmark %s" % e)
        return 0


def bench_on(ifindex, mac):
    install_peers()
    scratch = tempfile.mkdtemp(prefix="livebench")
    out = tempfile.mkdtemp(prefix="livebench", dir="/dev/shm" if os.path.isdir("/dev/shm")
                           else scratch)
    try:
        with open("/proc/loadavg") as f:
            load = f.read().split()[:3]
        print("live capture on veth in namespace %s, %d rounds, full speed %d frames, "
              "fixed rate %d frames/s, 64-byte frames; outputs in %s; load average %s"
              % (NS.name, ROUNDS, FULL_COUNT, RATE, out, " ".join(load)), flush=True)
        ok = bench(ifindex, mac, out, scratch)
    finally:
        shutil.rmtree(out, ignore_errors=True)
        shutil.rmtree(scratch, ignore_errors=True)
    if not ok:
        print("some captures did not run or captured nothing")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
