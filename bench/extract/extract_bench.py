#!/usr/bin/python3
"""trawlcap --index and trawlcap-extract against tcpdump over an hour's capture.

    extract_bench.py TRAWLCAP EXTRACT GEN [--dir DIR] [--rounds N] [--runs N]
                     [--repeat N] [--bytes N] [--seconds N] [--keep]

GEN (extract_gen) writes DIR/trace.pcap (default /var/tmp/trawlbench; about
4.5 GB, an hour of mixed traffic; kept and reused when it is already there
with its .flows file), then:
- capture: ROUNDS times (default 3), in turn, `trawlcap -p 4 -j arrival -G 60
  -i file:TRACE -w DIR/X/cap.pcap` without and with --index (the order
  alternates by round); CPU is user + system of the child (its own rusage
  from wait4, which is what a RUSAGE_CHILDREN delta around it would give);
- index size: the *.idx files against the data files of the last --index run;
- one 5-tuple query (an untagged IPv4 TCP flow of the trace, at most 0.1 %
  of its records, from the generator's list) with `trawlcap-extract -r DIR
  -w OUT EXPR` against `tcpdump -V LIST -w OUT EXPR` over every data file,
  warm cache (each run once first), median of RUNS (default 5) wall clock
  and CPU time;
  both outputs and the generator must agree on the record count; then
  REPEAT (default 200) more runs of the query alone, counting those that
  take ten times the usual page faults (that read far more than their
  blocks);
- the same query with the caches dropped (as root), against the read rate
  of `dd iflag=direct` on the trace measured just before; bytes read from
  disk are the child's ru_inblock (512-byte units);
- one minute of the hour with no expression, cold: bytes read from disk
  against the bytes of that minute's records (one window on the files'
  minute boundaries, one across two);
- the query under strace: the bytes it reads from *.idx descriptors against
  the total index size.
Needs root (it prints SKIP and exits 0 otherwise) and about three times
the trace's size free in DIR while it runs (SKIP otherwise); the capture
directories are removed at the end (the trace too unless --keep).
"""
import argparse
import glob
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

SUMMARY_RE = re.compile(r"(\d+) records written; (\d+) files read by index, (\d+) scanned")


def machine():
    lines = ["nproc: %s" % os.cpu_count()]
    out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines()
    for line in out[:20]:
        if line.split(":")[0].strip() in ("Architecture", "CPU(s)", "Model name", "Thread(s) per core",
                                          "Core(s) per socket", "Hypervisor vendor",
                                          "Virtualization type"):
            lines.append(" ".join(line.split()))
    with open("/proc/meminfo") as f:
        lines.append(f.readline().strip())
    lines.append("kernel: %s" % os.uname().release)
    return lines


def read_ahead_kb(path):
    """The read-ahead of the disk under path: it sets how much a cold read
    around one page brings in."""
    src = subprocess.run(["findmnt", "-no", "SOURCE", "--target", path], capture_output=True,
                         text=True).stdout.strip()
    dev = os.path.basename(src)
    for d in (dev, re.sub(r"p?\d+$", "", dev)):
        try:
            with open("/sys/block/%s/queue/read_ahead_kb" % d) as f:
                return "%s: read_ahead_kb %s" % (src, f.read().strip())
        except OSError:
            pass
    return "%s: read_ahead_kb unknown" % src


def selected_bytes(idx_paths, t_from, t_to):
    """Bytes of the blocks whose time span meets [t_from, t_to) (seconds),
    by the indexes' block tables (format: capture/index.h): what the index
    asks a reader to read for a time range alone."""
    total = 0
    lo, hi = t_from * 10**9, t_to * 10**9
    for p in idx_paths:
        with open(p, "rb") as f:
            head = f.read(96)
            nr_blocks = struct.unpack_from("<I", head, 20)[0]
            first, last = struct.unpack_from("<qq", head, 48)
            if last < lo or first >= hi:
                continue
            table = f.read(56 * nr_blocks)
        for i in range(nr_blocks):
            _, _, length, _, _, _, b_first, b_last, _ = struct.unpack_from("<QIIIIQqqQ", table,
                                                                           56 * i)
            if b_first < hi and b_last >= lo:
                total += length
    return total


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def run(cmd, usage_out=None):
    """(wall s, CPU s, bytes read from disk, stderr) of one child; its whole
    rusage into usage_out (a list) when given."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = proc.stderr.read().decode(errors="replace")
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        raise SystemExit("failed (%d): %s\n%s" % (code, " ".join(cmd), err))
    if usage_out is not None:
        usage_out.append(usage)
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_inblock * 512, err


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def pcap_records(path):
    """(records, bytes of records with their headers) of a microsecond or
    nanosecond savefile in this machine's byte order."""
    n = 0
    with open(path, "rb") as f:
        data = f.read()
    pos, size = 24, len(data)
    while pos + 16 <= size:
        caplen = struct.unpack_from("<I", data, pos + 8)[0]
        pos += 16 + caplen
        n += 1
    return n, size - 24


def data_files(d):
    return sorted(p for p in glob.glob(os.path.join(d, "*.pcap")))


def total_size(paths):
    return sum(os.path.getsize(p) for p in paths)


def read_flows(path):
    with open(path) as f:
        head = f.readline().split()
        info = {head[i]: int(head[i + 1]) for i in range(0, len(head), 2)}
        flows = [line.split() for line in f]
    return info, flows


def pick_flow(info, flows):
    """The untagged IPv4 TCP flow with the most packets, at most 0.1 % of the
    records, that starts in the middle third of the hour."""
    third = info["seconds"] * 1e6 / 3
    best = None
    for k, vlan, cli, srv, cport, sport, pkts, first, last in flows:
        if k != "tcp4" or vlan != "0" or not third <= int(first) < 2 * third:
            continue
        if int(pkts) * 1000 > info["records"]:
            continue
        if best is None or int(pkts) > int(best[6]):
            best = (k, vlan, cli, srv, cport, sport, pkts, first, last)
    _, _, cli, srv, cport, sport, pkts, first, last = best
    expr = "host %s and host %s and tcp port %s and tcp port %s" % (cli, srv, cport, sport)
    return expr, int(pkts), int(first), int(last)


def capture(args, trace, out, index):
    shutil.rmtree(out, True)
    os.makedirs(out)
    cmd = [args.trawlcap, "-p", "4", "-j", "arrival", "-G", "60"] + (["--index"] if index else [])
    cmd += ["-i", "file:" + trace, "-w", os.path.join(out, "cap.pcap")]
    t0 = time.perf_counter()
    wall, cpu, _, _ = run(cmd)
    # The writers' last direct writes are on the disk when trawlcap ends;
    # the sync counts what the index files, written through the page
    # cache, still owe it.
    os.sync()
    return wall, cpu, time.perf_counter() - t0


def strace_index_bytes(args, cap, expr, out):
    """(bytes read from *.idx descriptors, *.idx files opened) of one query."""
    log = out + ".strace"
    cmd = ["strace", "-f", "-qq", "-s", "0", "-e", "trace=openat,pread64,read,close", "-o", log,
           args.extract, "-r", cap, "-w", out] + expr.split()
    run(cmd)
    call_re = re.compile(r"^(\d+)\s+(openat|pread64|read|close)\((.*?)(?:\) += (-?\d+)| <unfinished)")
    resumed_re = re.compile(r"^(\d+)\s+<\.\.\. (\w+) resumed>.*\) += (-?\d+)")
    fds, pending = {}, {}
    total, opened = 0, 0

    def done(call, argstr, ret):
        nonlocal total, opened
        if call == "openat":
            m = re.search(r'"([^"]*)"', argstr)
            if ret >= 0 and m:
                idx = m.group(1).endswith(".idx")
                fds[ret] = idx
                opened += idx
        elif call == "close":
            fd = int(argstr.split(",")[0])
            fds.pop(fd, None)
        elif ret > 0 and fds.get(int(argstr.split(",")[0])):
            total += ret

    with open(log) as f:
        for line in f:
            m = call_re.match(line)
            if m:
                pid, call, argstr, ret = m.groups()
                if ret is None:
                    pending[pid] = (call, argstr)
                else:
                    done(call, argstr, int(ret))
                continue
            m = resumed_re.match(line)
            if m and m.group(1) in pending:
                call, argstr = pending.pop(m.group(1))
                done(call, argstr, int(m.group(3)))
    os.unlink(log)
    return total, opened


def cached(paths):
    """Bytes of these files in the page cache."""
    out = subprocess.run(["fincore", "--bytes", "--noheadings", "--raw", "--output", "RES"] + paths,
                         capture_output=True, text=True, check=True).stdout
    return sum(int(x) for x in out.split())


def cold_run(cmd, files, idx):
    """A run after the caches were dropped: (wall s, CPU s, bytes read from
    disk, stderr, bytes of the data files and of the indexes it brought into
    the page cache)."""
    drop_caches()
    w, cpu, rd, err = run(cmd)
    return w, cpu, rd, err, cached(files), cached(idx)


def dd_rate(trace):
    count = min(2048, os.path.getsize(trace) >> 20)
    drop_caches()
    t0 = time.perf_counter()
    subprocess.run(["dd", "if=" + trace, "of=/dev/null", "bs=1M", "count=%d" % count,
                    "iflag=direct"], check=True, capture_output=True)
    return (count << 20) / (time.perf_counter() - t0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("trawlcap")
    ap.add_argument("extract")
    ap.add_argument("gen")
    ap.add_argument("--dir", default="/var/tmp/trawlbench")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--repeat", type=int, default=200,
                    help="warm runs of the query counted for outliers")
    ap.add_argument("--bytes", type=int, default=4500000000)
    ap.add_argument("--seconds", type=int, default=3600)
    ap.add_argument("--keep", action="store_true", help="keep the trace for the next run")
    args = ap.parse_args()
    # Like the live benchmark, a run that cannot be made here is skipped,
    # not failed, so that bench/run.sh goes on to the others.
    if os.geteuid() != 0:
        print("SKIP: extract_bench drops the page cache, which needs root")
        return
    os.makedirs(args.dir, exist_ok=True)
    # Two captures of the trace beside it, and some room.
    trace_path = os.path.join(args.dir, "trace.pcap")
    if os.path.exists(trace_path):
        need = 2.2 * os.path.getsize(trace_path)
    else:
        need = 3.2 * args.bytes
    st = os.statvfs(args.dir)
    if st.f_bavail * st.f_frsize < need:
        print("SKIP: extract_bench needs %.1f GB free in %s" % (need / 1e9, args.dir))
        return

    print("start %s UTC, load average %s" % (time.strftime("%Y-%m-%d %H:%M", time.gmtime()),
                                             loadavg()))
    os.makedirs(args.dir, exist_ok=True)
    for line in machine() + [read_ahead_kb(args.dir)]:
        print("  " + line)
    trace = os.path.join(args.dir, "trace.pcap")
    if not (os.path.exists(trace) and os.path.exists(trace + ".flows")):
        t0 = time.perf_counter()
        subprocess.run([args.gen, trace, str(args.bytes), "3000", str(args.seconds)], check=True)
        took = time.perf_counter() - t0
        print("generated %s: %.1f MB in %.1f s (%.0f MB/s)" % (
            trace, os.path.getsize(trace) / 1e6, took, os.path.getsize(trace) / 1e6 / took))
    info, flows = read_flows(trace + ".flows")
    print("trace: %d records, %d bytes, %d s, %d flows" % (info["records"], info["bytes"],
                                                         info["seconds"], info["flows"]))
    # Device names hold at most 63 characters.
    dev_trace = trace
    if len("file:" + trace) > 63:
        dev_trace = tempfile.mktemp(prefix="xt", dir="/dev/shm")
        os.symlink(trace, dev_trace)
    plain, indexed = os.path.join(args.dir, "plain"), os.path.join(args.dir, "index")
    out = os.path.join(args.dir, "out.pcap")
    rows = []
    try:
        # a. capture without and with --index, the trace in the page cache.
        subprocess.run(["cat", trace], stdout=subprocess.DEVNULL, check=True)
        cap = {False: [], True: []}
        for r in range(args.rounds):
            for index in ((False, True) if r % 2 == 0 else (True, False)):
                wall, cpu, synced = capture(args, dev_trace, indexed if index else plain, index)
                cap[index].append((wall, cpu, synced))
                print("  round %d %-8s wall %.2f s (%.2f with sync) CPU %.2f s" % (
                    r + 1, "--index" if index else "plain", wall, synced, cpu))
        cpu_plain = statistics.median(c[1] for c in cap[False])
        cpu_index = statistics.median(c[1] for c in cap[True])
        ratios = [i[1] / p[1] for p, i in zip(cap[False], cap[True])]
        rows.append(("capture CPU, plain / --index (median of %d)" % args.rounds,
                     "%.2f s / %.2f s" % (cpu_plain, cpu_index), ""))
        rows.append(("capture wall, plain / --index",
                     "%.2f s / %.2f s" % (statistics.median(c[0] for c in cap[False]),
                                          statistics.median(c[0] for c in cap[True])), ""))
        rows.append(("CPU --index / plain (per round)",
                     "%.3f (%s)" % (statistics.median(ratios),
                                    " ".join("%.3f" % x for x in ratios)), "<= 1.2"))

        # b. index size.
        files = data_files(indexed)
        idx = glob.glob(os.path.join(indexed, "*.idx"))
        data_bytes, idx_bytes = total_size(files), total_size(idx)
        plain_bytes = total_size(data_files(plain))
        rec_bytes = data_bytes - 24 * len(files)
        if rec_bytes != info["bytes"] - 24 or plain_bytes != data_bytes:
            raise SystemExit("captured %d record bytes (plain %d), the trace holds %d" % (
                rec_bytes, plain_bytes - 24 * len(files), info["bytes"] - 24))
        shutil.rmtree(plain)
        rows.append(("data files, indexes", "%d, %d" % (len(files), len(idx)), ""))
        rows.append(("data bytes", "{:,}".format(data_bytes), ""))
        rows.append(("index bytes (of data)", "{:,} ({:.3f} %)".format(
            idx_bytes, 100.0 * idx_bytes / data_bytes), "<= 3 %"))

        # c. one 5-tuple query, warm.
        expr, pkts, first, last = pick_flow(info, flows)
        print("query: %s (%d packets, %.1f s from minute %d)" % (
            expr, pkts, (last - first) / 1e6, first // 60000000))
        listfile = os.path.join(args.dir, "files.txt")
        with open(listfile, "w") as f:
            f.write("\n".join(files) + "\n")
        ex_cmd = [args.extract, "-r", indexed, "-w", out] + expr.split()
        td_cmd = ["tcpdump", "-V", listfile, "-w", out] + expr.split()
        ex_t, td_t, ex_c, td_c = [], [], [], []
        for i in range(args.runs + 1):
            w, c, _, err = run(ex_cmd)
            summary = SUMMARY_RE.search(err)
            n_ex = pcap_records(out)[0]
            if i:
                ex_t.append(w)
                ex_c.append(c)
            w, c, _, _ = run(td_cmd)
            n_td = pcap_records(out)[0]
            if i:
                td_t.append(w)
                td_c.append(c)
            if not (n_ex == n_td == pkts == int(summary.group(1))):
                raise SystemExit("records: extract %d (says %s), tcpdump %d, trace %d" % (
                    n_ex, summary.group(1), n_td, pkts))
        ex_w, td_w = statistics.median(ex_t), statistics.median(td_t)
        # A run that reads far more than its blocks (every page of the
        # data faulted in: about one fault per 64 KiB) shows in its page
        # faults, not in the median: count them over many runs.
        usages = []
        walls = [run(ex_cmd, usages)[0] for _ in range(args.repeat)]
        faults = [u.ru_minflt for u in usages]
        usual = statistics.median(faults)
        odd = [i for i, f in enumerate(faults) if f > 10 * usual]
        rows.append(("warm: runs that fault in far more pages (of %d)" % args.repeat,
                     "%d (faults %s, usual %d; wall %s ms)" % (
                         len(odd), " ".join(str(faults[i]) for i in odd) or "-", usual,
                         " ".join("%.0f" % (walls[i] * 1e3) for i in odd) or "-"), ""))
        start_t = statistics.median(run([args.extract, "--version"])[0] for _ in range(args.runs))
        rows.append(("warm: trawlcap-extract --version (start and exit)",
                     "%.1f ms" % (start_t * 1e3), ""))
        rows.append(("5-tuple query: records; files by index, scanned",
                     "%d; %s, %s" % (pkts, summary.group(2), summary.group(3)), ""))
        rows.append(("warm: extract (median of %d)" % args.runs, "%.1f ms" % (ex_w * 1e3), ""))
        rows.append(("warm: tcpdump -V (median of %d)" % args.runs, "%.1f ms" % (td_w * 1e3), ""))
        rows.append(("warm: tcpdump / extract", "%.0fx" % (td_w / ex_w), ">= 100x"))
        ex_c, td_c = statistics.median(ex_c), statistics.median(td_c)
        rows.append(("warm CPU: extract, tcpdump -V; tcpdump / extract",
                     "%.1f ms, %.1f ms; %.0fx" % (ex_c * 1e3, td_c * 1e3, td_c / ex_c), ""))

        # d. the same query, cold.
        rate = dd_rate(trace)
        rows.append(("disk read rate, dd iflag=direct", "%.0f MB/s" % (rate / 1e6), ""))
        rows.append(("all data at that rate", "%.2f s" % (data_bytes / rate), ""))
        # What starting the program reads (its binary, the libraries).
        base = cold_run([args.extract, "--version"], files, idx)[2]
        rows.append(("cold: trawlcap-extract --version read from disk", "{:,} B".format(base), ""))
        cold = sorted(cold_run(ex_cmd, files, idx) for _ in range(3))
        w, cpu, rd, _, in_data, in_idx = cold[1]
        rows.append(("cold: extract (median of 3)", "%.1f ms, CPU %.1f ms" % (w * 1e3, cpu * 1e3),
                     ""))
        rows.append(("cold: extract read from disk", "{:,} B ({:.4f} % of data)".format(
            rd, 100.0 * rd / data_bytes), ""))
        rows.append(("  of which cached after: data files, indexes",
                     "{:,} B, {:,} B".format(in_data, in_idx), ""))
        w, cpu, rd, _, _, _ = cold_run(td_cmd, files, idx)
        rows.append(("cold: tcpdump -V (once)", "%.2f s, read {:,} B".format(rd) % w, ""))

        # e. one minute, no expression, cold.
        mid = info["start"] + info["seconds"] // 120 * 60
        for label, t in (("on the files' minute", mid), ("across two minutes", mid + 30)):
            w, cpu, rd, err, in_data, in_idx = cold_run(
                [args.extract, "-r", indexed, "--from", str(t), "--to", str(t + 60), "-w", out],
                files, idx)
            n, minute = pcap_records(out)
            s = SUMMARY_RE.search(err)
            rows.append(("minute %s: records, bytes" % label, "{:,}, {:,} B".format(n, minute), ""))
            sel = selected_bytes(idx, t, t + 60)
            rows.append(("  blocks the index selects (/ minute's bytes)",
                         "{:,} B ({:.3f}x)".format(sel, sel / minute), ""))
            rows.append(("  cold: read from disk (/ minute's bytes); wall",
                         "{:,} B ({:.3f}x); {:.0f} ms".format(rd, rd / minute, w * 1e3),
                         "little more than 1x"))
            rows.append(("  of which cached after: data files, indexes",
                         "{:,} B, {:,} B".format(in_data, in_idx), ""))
            rows.append(("  files by index, scanned", "%s, %s" % (s.group(2), s.group(3)), ""))

        # f. how much of the index the query reads.
        got, opened = strace_index_bytes(args, indexed, expr, out)
        rows.append(("query reads of *.idx (files opened)", "{:,} B ({:d})".format(got, opened),
                     ""))
        rows.append(("  of all index bytes", "%.2f %%" % (100.0 * got / idx_bytes), ""))
    finally:
        if dev_trace != trace:
            os.unlink(dev_trace)
        for p in (plain, indexed):
            shutil.rmtree(p, True)
        for p in (out, os.path.join(args.dir, "files.txt")):
            if os.path.exists(p):
                os.unlink(p)
        if not args.keep:
            for p in (trace, trace + ".flows"):
                if os.path.exists(p):
                    os.unlink(p)

    # g. the table.
    print("end %s UTC, load average %s" % (time.strftime("%Y-%m-%d %H:%M", time.gmtime()),
                                           loadavg()))
    print()
    print("| Figure | Value | Target |")
    print("|---|---:|---|")
    for name, value, target in rows:
        print("| %s | %s | %s |" % (name, value, target))


if __name__ == "__main__":
    main()
