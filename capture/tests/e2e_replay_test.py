"""Captures of real traces through the replay source, checked against tcpdump."""
import calendar
import glob
import heapq
import grp
import os
import pwd
import re
import shutil
import signal
import struct
import subprocess
import time
import unittest

from e2e_common import (CaptureCase, MAX_PACKET, TRACES, TRAWLCAP, harness, main, mount_ext4,
                        parse_reports,
                        payloads, pcapfile, read_text, run, start, tcpdump_count, tcpdump_select,
                        trace, trace_count, wait_files, whole_records, zstd_frames)

# (trace, filter): filters avoid len/greater/less, which tcpdump answers from
# the wire length of truncated records while the replay source has only the
# captured bytes.
CASES = [
    ("afs.pcap", "udp port 7000"),
    ("afs.pcap", ""),
    ("afs.pcap", "ip[6:2] & 0x3fff != 0"),
    ("mptcp-v0.pcap", "tcp[tcpflags] & tcp-syn != 0"),
    ("bgp-4byte-asn.pcap", "arp or tcp port 179"),
    ("edns-opts.pcap", "udp port 53 and not ip6"),
    ("dhcp-rfc4388.pcap", "udp and (port 67 or port 68)"),
    ("gateway_or_not.pcap", "icmp or icmp6"),
    ("pptp.pcap", "proto gre"),
    ("arp-oobr.pcap", "arp"),
    ("bgp_vpn_rt-oobr.pcap", ""),
    ("print-flags.pcap", "tcp port 80"),
    ("OSPFv2_Capture_FINAL.pcapng", "ip proto ospf"),
    ("bigtcp-ipv6-hbh.pcap", ""),
    ("empty.pcap", ""),
]


def tcpdump_text(path):
    return subprocess.run(["tcpdump", "-nn", "-tt", "-r", path], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=True).stdout


class ReplayAgainstTcpdump(CaptureCase):
    def capture(self, name, flt, workers):
        base = self.path("cap.pcap")
        t0 = time.time()
        res = run(["-p", str(workers), "-i", "file:" + trace(name), "-w", base] + flt.split())
        t1 = time.time()
        err = res.stderr.decode()
        self.assertEqual(res.returncode, 0, err)
        self.assertEqual(res.stdout, b"")
        reports = parse_reports(err)
        self.assertEqual(len(reports), 1, err)
        return reports[0], t0, t1

    def check(self, name, flt, workers):
        report, t0, t1 = self.capture(name, flt, workers)
        files = [self.path("cap_%d.pcap" % i) for i in range(workers)]
        self.assertEqual(sorted(report.threads), list(range(workers)))
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(os.path.basename(f) for f in files))

        got = {}
        total_captured = 0
        total_received = 0
        for i, f in enumerate(files):
            fname, received, captured = report.threads[i]
            self.assertEqual(fname, f)
            pcap = pcapfile.read(f)
            self.assertDumpHeader(pcap)
            self.assertEqual(len(pcap.records), captured, f)
            for sec, usec, caplen, wirelen, data in pcap.records:
                self.assertEqual(caplen, wirelen)
                self.assertEqual(caplen, len(data))
                self.assertLessEqual(caplen, MAX_PACKET)
                self.assertLess(usec, 1000000)
                stamp = sec + usec / 1e6
                self.assertTrue(t0 - 0.001 <= stamp <= t1 + 0.001, (t0, stamp, t1))
            for k, v in payloads(pcap).items():
                got[k] = got.get(k, 0) + v
            total_captured += captured
            total_received += received
        self.assertEqual(report.summary, (self.path("cap.pcap"), total_received, total_captured))

        expected = payloads(tcpdump_select(trace(name), flt))
        expected = {k: v for k, v in expected.items() if len(k) <= MAX_PACKET}
        self.assertEqual(got, expected, "%s with %r on %d workers" % (name, flt, workers))
        self.assertEqual(total_received, trace_count(trace(name)))
        return report

    def test_traces_one_worker(self):
        for name, flt in CASES:
            with self.subTest(trace=name, filter=flt):
                self.check(name, flt, 1)
                for f in os.listdir(self.dir):
                    os.unlink(self.path(f))

    def test_traces_three_workers(self):
        for name, flt in CASES:
            with self.subTest(trace=name, filter=flt):
                self.check(name, flt, 3)
                for f in os.listdir(self.dir):
                    os.unlink(self.path(f))

    def test_arrival_stamps_and_lengths_are_the_traces_own(self):
        # Micro and nano traces over three workers: every record keeps its
        # stamp, bytes and lengths; merged in time order, tcpdump prints what
        # it prints for the trace. Micro traces in pcapng are converted first.
        nano = self.path("nano.pcap")
        pcapfile.write(nano, [(1700000000 + i // 7, i * 7919 % 10**9, bytes([i % 256]) * (60 + i))
                              for i in range(500)], nsec=True)
        for name, opts in (("afs.pcap", []), (nano, ["--nano"]), ("OSPFv2_Capture_FINAL.pcapng", [])):
            with self.subTest(trace=name):
                src = trace(name) if name != nano else nano
                want = pcapfile.parse(subprocess.run(
                    ["tcpdump", "-r", src, "-w", "-"] + (["--nano"] if opts else []),
                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout)
                res = run(["-p", "3", "-j", "arrival"] + opts + ["-i", "file:" + src, "-w", self.path("a.pcap")])
                self.assertEqual(res.returncode, 0, res.stderr.decode())
                got = [r for i in range(3) for r in pcapfile.read(self.path("a_%d.pcap" % i)).records]
                self.assertEqual(sorted(got), sorted(want.records))
                # Ties in time are put back in trace order.
                order = {r: i for i, r in enumerate(want.records)}
                merged = self.path("merged.pcap")
                with open(merged, "wb") as f:
                    f.write(struct.pack("<IHHiIII", pcapfile.MAGIC_NSEC if opts else pcapfile.MAGIC_USEC,
                                        2, 4, 0, 0, 65535, 1))
                    for r in sorted(got, key=lambda r: (r[0], r[1], order[r])):
                        f.write(struct.pack("<IIII", *r[:4]) + r[4])
                self.assertEqual(tcpdump_text(merged), tcpdump_text(src))

    def test_snap_length_cuts_records_and_keeps_real_lengths(self):
        res = run(["-s", "96", "-i", "file:" + trace("afs.pcap"), "-w", self.path("s.pcap")])
        (report,) = parse_reports(res.stderr.decode())
        pcap = pcapfile.read(self.path("s_0.pcap"))
        self.assertEqual((pcap.snaplen, len(pcap.records)), (96, 601))
        want = pcapfile.read(trace("afs.pcap")).records
        for got, orig in zip(pcap.records, want):
            self.assertEqual(got[2:], (min(96, orig[2]), orig[3], orig[4][:96]))

    def test_packet_longer_than_65535_is_received_not_written(self):
        report = self.check("bigtcp-ipv6-hbh.pcap", "", 1)
        self.assertEqual(report.threads[0][1:], (1, 0))
        # The boundary: 65535 bytes are written, 65536 are not.
        pcapfile.write(self.path("sizes"), [bytes(n) for n in (65534, 65535, 65536)], snaplen=262144)
        res = run(["-i", "file:" + self.path("sizes"), "-w", self.path("c")])
        self.assertEqual(parse_reports(res.stderr.decode())[0].threads[0][1:], (3, 2))

    def test_loops_replay_the_trace_again(self):
        res = run(["-i", "file:" + trace("edns-opts.pcap") + ",loop=5", "-w", self.path("c"), "udp"])
        self.assertEqual(res.returncode, 0)
        (report,) = parse_reports(res.stderr.decode())
        expected = len(tcpdump_select(trace("edns-opts.pcap"), "udp").records)
        self.assertEqual(report.summary[1:], (5 * 42, 5 * expected))
        self.assertEqual(len(pcapfile.read(self.path("c_0")).records), 5 * expected)

    def test_zero_packet_savefiles_give_header_only_files(self):
        with open(trace("OSPFv2_Capture_FINAL.pcapng"), "rb") as f:
            ng = f.read()
        # Section header and interface description, the blocks before the
        # first packet; block length is the second 32-bit word.
        shb_len = int.from_bytes(ng[4:8], "little")
        idb_len = int.from_bytes(ng[shb_len + 4:shb_len + 8], "little")
        with open(self.path("pcapng"), "wb") as f:
            f.write(ng[:shb_len + idb_len])
        pcapfile.write(self.path("usec"), [])
        pcapfile.write(self.path("nsec"), [], nsec=True)
        for name in ("usec", "nsec", "pcapng"):
            with self.subTest(savefile=name):
                dev = "file:" + self.path(name)
                base = self.path(name + "-out.pcap")
                res = run(["-p", "2", "-i", dev, "-w", base], timeout=60)
                self.assertEqual(res.returncode, 0, res.stderr.decode())
                (report,) = parse_reports(res.stderr.decode())
                self.assertEqual(report.summary[1:], (0, 0))
                for i in (0, 1):
                    out = self.path("%s-out_%d.pcap" % (name, i))
                    self.assertDumpHeader(pcapfile.read(out))
                    self.assertEqual(trace_count(out), 0)


class Workers(CaptureCase):
    def test_packet_count_limits(self):
        # Tested before each burst of 32, against captured packets: up to 31
        # more, none when the count lands on the limit; a positive count never
        # means no limit. (workers, count, device, filter, each worker's range)
        arp, afs = "file:" + trace("arp-oobr.pcap"), "file:" + trace("afs.pcap") + ",loop=1000"
        cases = [(1, 100, arp, "", 100, 131), (1, 64, arp, "", 64, 64),
                 (1, 10, afs, "udp port 7003", 10, 41), (4, 2, afs, "", 1, 32)]
        for workers, count, dev, flt, low, high in cases:
            with self.subTest(workers=workers, count=count, filter=flt):
                res = run(["-p", str(workers), "-c", str(count), "-i", dev, "-w",
                           self.path("c.pcap")] + flt.split())
                (report,) = parse_reports(res.stderr.decode())
                for name, _, captured in report.threads.values():
                    self.assertTrue(low <= captured <= high, report.threads)
                    self.assertEqual(len(pcapfile.read(name).records), captured)

    def test_limit_divides_by_all_workers_selected_or_not(self):
        # Worker 0 alone, limit 100 / 4 = 25; the run ends by the limit.
        res = run(["-p", "4", "-q", "0", "-c", "100", "-i",
                   "file:" + trace("afs.pcap") + ",loop=1000", "-w", self.path("c.pcap")])
        self.assertEqual(res.returncode, 0)
        (report,) = parse_reports(res.stderr.decode())
        self.assertEqual(list(report.threads), [0])
        self.assertTrue(25 <= report.threads[0][2] <= 56, report.threads[0])
        self.assertEqual(os.listdir(self.dir), ["c_0.pcap"])
        self.assertEqual(len(pcapfile.read(self.path("c_0.pcap")).records), report.threads[0][2])

    def test_unselected_workers_get_no_file_and_no_line(self):
        stderr_path = self.path("stderr")
        proc = start(["-p", "3", "-q", "0,2", "-i", "file:" + trace("afs.pcap"),
                      "-w", self.path("c.pcap")], stderr_path=stderr_path)
        # Stream 1 is never read, so the replay never ends by itself.
        wait_files(proc, [self.path("c_0.pcap"), self.path("c_2.pcap")])
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 0)
        (report,) = parse_reports(read_text(stderr_path))
        self.assertEqual(sorted(report.threads), [0, 2])
        self.assertEqual(sorted(os.listdir(self.dir)), ["c_0.pcap", "c_2.pcap", "stderr"])
        self.assertReportMatchesFiles(report, {})

    def test_zero_workers_go_straight_to_the_report(self):
        res = run(["-p", "0", "-i", "file:" + trace("afs.pcap"), "-w", self.path("c.pcap")])
        self.assertEqual(res.returncode, 0)
        self.assertEqual(res.stderr.decode(),
                         "\nCapture statistics:\n"
                         "    Summary : dumpfile %s, 0 packets recved, 0 packets captured.\n\n"
                         % self.path("c.pcap"))
        self.assertEqual(os.listdir(self.dir), [])

    def test_default_dump_file_in_working_directory(self):
        res = run(["-i", "file:" + trace("vxlan.pcap")], cwd=self.dir)
        self.assertEqual(res.returncode, 0)
        (report,) = parse_reports(res.stderr.decode())
        self.assertEqual(report.threads[0], ("default_0.pcap", 10, 10))
        self.assertEqual(report.summary[0], "default.pcap")
        self.assertEqual(len(pcapfile.read(self.path("default_0.pcap")).records), 10)


class Rotation(CaptureCase):
    """A worker's files, in name order, hold exactly what one file holds."""

    def test_files_in_name_order_hold_the_unrotated_capture(self):
        dev = "file:" + trace("afs.pcap") + ",loop=20"
        run(["-i", dev, "-w", self.path("one.pcap")])
        whole = [r[4] for r in pcapfile.read(self.path("one_0.pcap")).records]
        # The command logs each file it gets, and the file's size then.
        script, log = self.path("z.sh"), self.path("log")
        with open(script, "w") as f:
            f.write('#!/bin/sh\necho "$1 $(stat -c %%s "$1")" >> %s\n' % log)
        os.chmod(script, 0o755)
        for opts, ring in ((["-C", "64k"], None), (["-C", "100k", "-W", "3"], 3)):
            with self.subTest(opts=opts):
                res = run(opts + ["-z", script, "-i", dev, "-w", self.path("r.pcap")])
                self.assertEqual(res.returncode, 0, res.stderr.decode())
                names = sorted(glob.glob(self.path("r_0_*.pcap")))
                got = []
                for n in names:
                    self.assertRegex(n, r"r_0_\d{5}_\d{8}T\d{6}Z\.pcap$")
                    self.assertLessEqual(os.path.getsize(n), 1024 * int(opts[1][:-1]))
                    self.assertEqual(whole_records(n)[1], True)
                    got += [r[4] for r in pcapfile.read(n).records]
                self.assertEqual(got, whole[len(whole) - len(got):] if ring else whole)
                with open(log) as f:
                    logged = [l.split() for l in f]
                # Once on every closed file, the last included, after it was
                # complete; under -W a file that left the ring before its turn
                # (at most two of a worker's commands run at once) is said.
                skipped = res.stderr.decode().count("removed by -W before its turn")
                self.assertEqual(len(logged) + skipped, int(names[-1].split("_")[-2]))
                self.assertEqual(len(set(n for n, _ in logged)), len(logged))
                self.assertEqual({n: int(size) for n, size in logged if n in names},
                                 {n: os.path.getsize(n) for n in names})
                self.assertEqual(len(names), ring or len(logged))
                for n in glob.glob(self.path("r_*")) + [log]:
                    os.unlink(n)


    def test_a_file_per_window_of_a_looped_trace_loses_nothing(self):
        # -G 1 -j arrival: every loop goes back in time, so each window of
        # each loop gets its file, of a few packets: some 1500 files.
        res = run(["-p", "2", "-G", "1", "-j", "arrival", "-i", "file:%s,loop=20" % trace("afs.pcap"),
                   "-w", self.path("g.pcap")])
        (report,) = parse_reports(res.stderr.decode())
        self.assertEqual((res.returncode, report.summary[1:]), (0, (12020, 12020)))
        self.assertGreater(len(os.listdir(self.dir)), 1000)

    def test_what_gzip_leaves_takes_its_files_place_in_the_ring(self):
        res = run(["-p", "2", "-C", "100k", "-W", "2", "-z", "gzip", "-i",
                   "file:" + trace("afs.pcap") + ",loop=10", "-w", self.path("g.pcap")])
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        for i in (0, 1):
            kept = glob.glob(self.path("g_%d_*" % i))
            self.assertEqual(len(kept), 2, kept)
            for n in kept:
                self.assertTrue(n.endswith(".pcap.gz"), n)
                subprocess.run(["gzip", "-t", n], check=True)

    def test_compressed_files_decode_to_the_plain_capture(self):
        # -j arrival makes the bytes the same in every run. A -C file is at
        # most its size on disk unless one frame of records alone is larger.
        dev = ["-p", "2", "-j", "arrival", "-i", "file:%s,loop=60" % trace("afs.pcap")]
        run(dev + ["-w", self.path("p.pcap")])
        piped = run(dev + ["-w", "-"]).stdout
        res = run(dev + ["--compress=zstd", "-w", "-"])
        unzstd = subprocess.run(["zstd", "-dc"], input=res.stdout, stdout=subprocess.PIPE)
        self.assertEqual(unzstd.stdout, piped)
        for opts in ([], ["-C", "200k"], ["-G", "60"], ["-C", "200k", "-W", "2"]):
            res = run(dev + opts + ["--compress=zstd:3", "-w", self.path("z.pcap")])
            self.assertEqual(res.returncode, 0, res.stderr.decode())
            for i in (0, 1):
                with self.subTest(opts=opts, worker=i), open(self.path("p_%d.pcap" % i), "rb") as f:
                    names = sorted(glob.glob(self.path("z_%d*" % i)))
                    self.assertEqual(len(names), 2 if "-W" in opts and i == 0 else len(names))
                    got = b""
                    for n in names:
                        self.assertTrue(n.endswith(".pcap.zst"), n)
                        data, whole, frames = zstd_frames(n)
                        self.assertTrue(whole, n)
                        if "-C" in opts:
                            self.assertTrue(os.path.getsize(n) <= 200 << 10 or frames == 2, n)
                        got += data[24 if got else 0:]
                        os.unlink(n)
                    want = f.read()
                    self.assertEqual(got, want[:24] + want[len(want) - len(got) + 24:])

    def test_a_restart_never_writes_over_the_last_runs_files(self):
        # Same -G window, or the same second under -C: the numbering goes on.
        dev = "file:" + trace("afs.pcap")
        # Names that only look like the numbered ones count for nothing.
        for stray in ("r_0_123_x.pcap", "r_0_00099x.pcap", "rr_0_00077_x.pcap"):
            open(self.path(stray), "w").close()
        for opts in (["-G", "3600"], ["-C", "64k"]):
            with self.subTest(opts=opts):
                run(opts + ["-i", dev, "-w", self.path("r.pcap")])
                first = {n: open(n, "rb").read() for n in glob.glob(self.path("r_0_?????_*Z.pcap"))}
                run(opts + ["-i", dev, "-w", self.path("r.pcap")])
                for n, data in first.items():
                    self.assertEqual(open(n, "rb").read(), data, n)
                names = sorted(glob.glob(self.path("r_0_?????_*Z.pcap")))
                self.assertEqual([int(n.split("_")[-2]) for n in names],
                                 list(range(1, 2 * len(first) + 1)))
                for n in names:
                    os.unlink(n)

    def test_arrival_windows_are_named_by_their_first_record(self):
        # A replay's times are the trace's: every file named by its first
        # record's window, none empty, the names in time order.
        dev = "file:" + trace("afs.pcap")  # 129 s of traffic: three windows
        res = run(["-p", "2", "-G", "60", "-j", "arrival", "-i", dev, "-w", self.path("a.pcap")])
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        for i in (0, 1):
            names = sorted(glob.glob(self.path("a_%d_*.pcap" % i)))
            starts = [calendar.timegm(time.strptime(n[-21:-5], "%Y%m%dT%H%M%SZ")) for n in names]
            self.assertEqual(starts, sorted(set(starts)))
            for n, t in zip(names, starts):
                records = pcapfile.read(n).records
                self.assertTrue(records, n)
                self.assertEqual(records[0][0] - records[0][0] % 60, t, n)

    def test_commands_hold_no_descriptor_and_the_ring_holds_as_it_rotates(self):
        # Each command sees the worker's files on disk at that moment, and
        # what it has open: -W 3 plus the two files whose command runs, and
        # no dump file.
        script, log = self.path("z.sh"), self.path("log")
        with open(script, "w") as f:
            f.write('#!/bin/sh\necho "$(ls %s/w_0_* | wc -l) $(ls -l /proc/$$/fd | grep -c pcap)"'
                    ' >> %s\n' % (self.dir, log))
        os.chmod(script, 0o755)
        res = run(["-C", "64k", "-W", "3", "-z", script, "-i",
                   "file:" + trace("afs.pcap") + ",loop=20", "-w", self.path("w.pcap")])
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        with open(log) as f:
            seen = [tuple(map(int, l.split())) for l in f]
        self.assertGreater(len(seen), 3)
        self.assertLessEqual(max(files for files, _ in seen), 3 + 2)
        self.assertEqual(sum(fds for _, fds in seen), 0)
        self.assertEqual(len(glob.glob(self.path("w_0_*"))), 3)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("useradd"), "changing user needs root")
    def test_files_are_created_by_the_user_that_Z_names(self):
        # Started with supplementary groups: the files, and the commands of
        # -z, have the user and its group alone.
        os.chmod(self.dir, 0o755)
        script = self.path("id.sh")
        with open(script, "w") as f:
            f.write('#!/bin/sh\necho "$(id -u) $(id -g) $(id -G)" >> "$(dirname "$1")/id.log"\n')
        os.chmod(script, 0o755)
        for user in ("nobody", self.throwaway_user()):
            with self.subTest(user=user):
                pw, out = pwd.getpwnam(user), self.path(user)
                os.mkdir(out)
                os.chmod(out, 0o777)
                res = run(["-Z", user, "-z", script, "-C", "64k", "-S", out + "/s.prom", "-i",
                           "file:" + trace("afs.pcap"), "-w", out + "/z.pcap"], extra_groups=[4, 27])
                self.assertEqual(res.returncode, 0, res.stderr.decode())
                owners = {(os.stat(n).st_uid, os.stat(n).st_gid) for n in glob.glob(out + "/*")}
                self.assertEqual(owners, {(pw.pw_uid, pw.pw_gid)})
                with open(out + "/id.log") as f:
                    self.assertEqual(set(f.read().splitlines()), {"%d %d %d" % (pw.pw_uid, pw.pw_gid, pw.pw_gid)})

    def throwaway_user(self):
        """A user whose group's number is not its own, removed after the case."""
        name = "tcz%d" % os.getpid()
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["groupadd", name], check=True, **quiet)
        self.addCleanup(subprocess.run, ["groupdel", name], **quiet)
        uids = {p.pw_uid for p in pwd.getpwall()}
        uid = next(u for u in range(grp.getgrnam(name).gr_gid + 1, 65000) if u not in uids)
        subprocess.run(["useradd", "-M", "-N", "-u", str(uid), "-g", name, "-s", "/usr/sbin/nologin", name],
                       check=True, **quiet)
        self.addCleanup(subprocess.run, ["userdel", name], **quiet)
        return name

    def test_names_under_G_are_in_utc_in_any_time_zone(self):
        # 5:30 east of UTC: the hour in the name is still UTC's, at :00.
        t0 = time.time()
        res = run(["-G", "3600", "-i", "file:" + trace("afs.pcap"), "-w", self.path("g.pcap")],
                  env=dict(os.environ, TZ="Asia/Kolkata"))
        hours = "|".join(time.strftime("%Y%m%dT%H0000Z", time.gmtime(t)) for t in (t0, time.time()))
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        self.assertRegex(" ".join(sorted(os.listdir(self.dir))),
                         r"^g_0_00001_(H)\.pcap( g_0_00002_(H)\.pcap)?$".replace("H", hours))


EXTRACT = os.path.join(os.path.dirname(TRAWLCAP), "trawlcap-extract")
# Expressions the index answers (hosts, nets, ports, protocols, VLAN ids,
# IPv6) and ones it cannot (flags, lengths, negations): the output is
# tcpdump's either way.
EXTRACT_EXPRESSIONS = [
    "", "host 131.151.32.21", "src host 131.151.1.59 and udp port 7000",
    "net 131.151.32.0/24", "tcp port 22 or udp port 7000", "tcp[tcpflags] & tcp-syn != 0",
    "vlan 200", "vlan and arp", "ip6 and udp port 54321", "icmp6 or ip6 proto 17",
    "greater 1000", "not udp", "host 10.9.9.9", "udp port 53 and not ip6", "host 2001:db8::2",
    "geneve and host 30.0.0.1",
]
EXTRACT_TRACES = ["afs.pcap,loop=6", "mptcp-v0.pcap", "802.1ad_QinQ.pcap",
                  "ipv6_ext_headers.pcap,loop=3", "edns-opts.pcap", "geneve.pcap"]


def iso(ns):
    """ns as ISO 8601 in the zone +01:00."""
    t = time.gmtime(ns // 10**9 + 3600)
    return time.strftime("%Y-%m-%dT%H:%M:%S", t) + ".%09d+01:00" % (ns % 10**9)


class Extract(CaptureCase):
    """trawlcap-extract against the merge of tcpdump -r FILE EXPR over every
    file, cut to the window: through the index, without it, on compressed
    files and with a stale index."""

    def capture(self, folder, opts):
        os.mkdir(self.path(folder))
        for name in ("notes.txt", "a.pcap.gz", "empty"):  # passed over, and said
            with open(self.path(folder + "/" + name), "wb") as f:
                f.write(b"\x1f\x8b\x08\0" if "gz" in name else b"x" * len(name[5:]))
        for i, t in enumerate(EXTRACT_TRACES):
            res = run(["-p", "2", "-i", "file:" + trace(t), "-C", "256k", "--index",
                       "-w", self.path("%s/t%d.pcap" % (folder, i))] + opts)
            self.assertEqual(res.returncode, 0, res.stderr.decode())

    def oracle(self, folder, flt):
        """Every file's tcpdump selection, merged by stamp then file name."""
        files = sorted(n for n in os.listdir(self.path(folder)) if n.endswith(("pcap", "zst")))
        lists = []
        for order, n in enumerate(files):
            path = self.path(folder + "/" + n)
            if n.endswith(".zst"):
                subprocess.run(["zstd", "-qdf", path, "-o", self.path("plain.pcap")], check=True)
                path = self.path("plain.pcap")
            recs = tcpdump_select(path, flt).records
            lists.append([(r[0] * 10**6 + r[1], order, r) for r in recs])
        return [r for _, _, r in heapq.merge(*lists, key=lambda e: e[:2])]

    def extract(self, folder, flt, window, by_index):
        args = ["-r", self.path(folder), "-w", self.path("out.pcap")] + flt.split()
        if window[0] is not None:
            args += ["--from", iso(window[0] * 1000)]
        if window[1] is not None:
            args += ["--to", "%d.%06d" % divmod(window[1], 10**6)]
        res = harness.run([EXTRACT] + args)
        err = res.stderr.decode()
        self.assertEqual(res.returncode, 0, err)
        m = re.fullmatch(r"trawlcap-extract: (\d+) records written; (\d+) files read by index, "
                         r"(\d+) scanned(; 3 other files passed over)?\n", err)
        self.assertTrue(m, err)
        self.assertEqual(int(m.group(2)), by_index, err)
        self.assertEqual(bool(m.group(4)), os.path.exists(self.path(folder + "/notes.txt")))
        out = pcapfile.read(self.path("out.pcap"))
        self.assertEqual(int(m.group(1)), len(out.records))
        return out.records

    def check_folder(self, folder, by_index):
        for flt in EXTRACT_EXPRESSIONS:
            want = self.oracle(folder, flt)
            stamps = sorted(r[0] * 10**6 + r[1] for r in self.oracle(folder, ""))
            q = len(stamps) // 4
            windows = [(None, None), (stamps[10], stamps[40]), (stamps[q], stamps[3 * q]),
                       (stamps[q], None), (None, stamps[-1]), (stamps[q], stamps[q])]
            for w in windows:
                with self.subTest(folder=folder, flt=flt, window=w):
                    lo, hi = w[0] or 0, w[1] or 1 << 62
                    cut = [r for r in want if lo <= r[0] * 10**6 + r[1] < hi]
                    self.assertEqual(self.extract(folder, flt, w, by_index), cut)

    def test_the_same_as_tcpdump_with_and_without_index(self):
        self.capture("cap", [])
        files = len(glob.glob(self.path("cap/*.pcap")))
        self.assertEqual(len(glob.glob(self.path("cap/*.pcap.idx"))), files)
        self.check_folder("cap", files)
        os.mkdir(self.path("bare"))
        for n in glob.glob(self.path("cap/*.pcap")):
            shutil.copy(n, self.path("bare"))
        self.check_folder("bare", 0)
        # A file that changed after it was indexed (its last record cut off)
        # is read whole: its index is never trusted.
        last = sorted(glob.glob(self.path("cap/t0_1_*.pcap")))[-1]
        with open(last, "r+b") as f:
            f.truncate(os.path.getsize(last) - 16 - len(pcapfile.read(last).records[-1][4]))
        self.check_folder("cap", files - 1)
        res = harness.run([EXTRACT, "--index", "-r", self.path("bare"), "-r", self.path("cap")])
        self.assertIn("%d indexes written, %d up to date" % (files + 1, files - 1),
                      res.stderr.decode())
        self.check_folder("bare", files)

    def test_compressed_files_through_their_index(self):
        self.capture("z", ["--compress=zstd"])
        files = len(glob.glob(self.path("z/*.pcap.zst")))
        self.assertEqual(len(glob.glob(self.path("z/*.pcap.zst.idx"))), files)
        self.check_folder("z", files)
        for n in glob.glob(self.path("z/*.idx")):  # built again by trawlcap-extract
            os.unlink(n)
        res = harness.run([EXTRACT, "--index", "-r", self.path("z")])
        self.assertIn("%d indexes written, 0 up to date" % files, res.stderr.decode())
        self.check_folder("z", files)

    def test_cut_and_damaged_files_are_said_and_the_rest_extracted(self):
        os.mkdir(self.path("d"))
        afs = pcapfile.read(trace("afs.pcap"))
        with open(trace("afs.pcap"), "rb") as f:
            data = f.read()
        second = 24 + 16 + len(afs.records[0][4])
        for name, body in (("a.pcap", data), ("cut.pcap", data[:-5]),
                           ("damaged.pcap", data[:second + 8] + b"\xff" * 4 + data[second + 12:])):
            with open(self.path("d/" + name), "wb") as f:
                f.write(body)
        pcapfile.write(self.path("d/nano.pcap"), [(1700000000, 123456789, b"\0" * 60)], nsec=True)
        res = harness.run([EXTRACT, "-r", self.path("d"), "-w", self.path("out.pcap")])
        self.assertEqual(res.returncode, 1)
        self.assertEqual(res.stderr.decode().split("\n")[:2], [
            "Cannot read %s: a damaged record at byte %d" % (self.path("d/damaged.pcap"), second),
            "Cannot read %s: cut in a record at byte %d" % (self.path("d/cut.pcap"),
                                                            len(data) - 16 - len(afs.records[-1][4]))])
        out = pcapfile.read(self.path("out.pcap"))
        self.assertTrue(out.nsec)
        kept = afs.records + afs.records[:-1] + afs.records[:1]
        want = [(r[0], r[1] * 1000) + r[2:] for r in kept] + [(1700000000, 123456789, 60, 60,
                                                               b"\0" * 60)]
        self.assertEqual(sorted(out.records), sorted(want))
        res = harness.run([EXTRACT, "--index", "-r", self.path("d")])
        self.assertEqual((res.returncode, res.stderr.decode().split("\n")[-2]), (1, (
            "trawlcap-extract: 2 indexes written, 0 up to date, 2 files without one")))
        # Other tools' files: big-endian, pcapng.
        # Linux cooked capture, indexed: its keys lie after a 16-byte header.
        ip = bytes.fromhex("450000200000000040110000") + bytes([10, 0, 0, 1, 10, 0, 0, 2])
        pcapfile.write(self.path("sll.pcap"), [bytes(14) + b"\x08\x00" + ip + bytes(12)] * 3,
                       linktype=113)
        harness.run([EXTRACT, "--index", "-r", self.path("sll.pcap")])
        for name, flt in (("pptp.pcap", "proto gre"), ("OSPFv2_Capture_FINAL.pcapng", "ip proto ospf"),
                          (self.path("sll.pcap"), "host 10.0.0.2")):
            res = harness.run([EXTRACT, "-r", trace(name), "-w", self.path("o3")] + flt.split())
            self.assertEqual(pcapfile.read(self.path("o3")).records,
                             tcpdump_select(trace(name), flt).records)
        self.assertEqual(len(pcapfile.read(self.path("o3")).records), 3)
        pcapfile.write(self.path("raw.pcap"), [b"\x45" + b"\0" * 19], linktype=101)
        for args in (["--from", "yesterday"], ["--to", "2026-12-08T14:03:00"], ["hots", "1"],
                     ["-r", self.path("none")], ["-r", self.path("raw.pcap")],
                     ["-w", self.path("d/a.pcap")], ["--index"]):
            with self.subTest(args=args):
                res = harness.run([EXTRACT, "-r", self.path("d/a.pcap"), "-w", self.path("o2")] +
                                  args)
                self.assertEqual(res.returncode, 2)
                self.assertEqual(len(res.stderr.splitlines()), 1, res.stderr)
                self.assertFalse(os.path.exists(self.path("o2")))

    def test_the_ring_and_commands_see_each_index_beside_its_file(self):
        log = self.path("log")
        script = self.path("cmd.sh")
        with open(script, "w") as f:
            f.write("#!/bin/sh\ntest -s \"$1.idx\" && echo \"$1\" >> %s\n" % log)
        os.chmod(script, 0o755)
        res = run(["-p", "2", "-i", "file:%s,loop=20" % trace("afs.pcap"), "-C", "256k", "-W", "2",
                   "--index", "-z", script, "-w", self.path("r.pcap")])
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        data = sorted(glob.glob(self.path("r_*.pcap")))
        self.assertEqual(len(data), 4)
        self.assertEqual(sorted(glob.glob(self.path("r_*.idx"))), [d + ".idx" for d in data])
        self.assertGreater(len(read_text(log).split()), 4)

class DirectIO(CaptureCase):
    """Files written with O_DIRECT, on a loop-mounted ext4 (else in the
    scratch directory), hold the bytes the same capture writes into a pipe;
    -j arrival keeps the trace's times, so the bytes do not depend on when."""

    def setUp(self):
        super().setUp()
        self.out = self.path("ext4")
        umount = mount_ext4(self.out, 96)
        if umount:
            self.addCleanup(umount)

    def piped(self, args):
        res = run(["-j", "arrival", "-w", "-"] + args)
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        return res.stdout

    def test_every_trace_with_and_without_rotation(self):
        # Records of every size (-s 0 writes the 80 kB one too), each trace
        # looped to a few megabytes: many marks, several writes, a tail each.
        for name in sorted(n for n in os.listdir(TRACES) if ".pcap" in n):
            size = os.path.getsize(trace(name))
            dev = "file:%s,loop=%d" % (trace(name), max(1, (3 << 20) // size))
            want = self.piped(["-s", "0", "-i", dev])
            for opts in ([], ["-C", "1M"]):
                with self.subTest(trace=name, opts=opts):
                    res = run(["-j", "arrival", "-s", "0", "-i", dev,
                               "-w", os.path.join(self.out, "d.pcap")] + opts)
                    self.assertEqual(res.returncode, 0, res.stderr.decode())
                    got = []
                    for n in sorted(glob.glob(os.path.join(self.out, "d_0*"))):
                        with open(n, "rb") as f:
                            got.append(f.read())
                        os.unlink(n)
                    # Under rotation with -j arrival a file waits for its first record.
                    self.assertEqual([g[:24] for g in got], [want[:24]] * max(len(got), not opts))
                    self.assertEqual(b"".join(g[24:] for g in got), want[24:])

    def test_standard_output_on_a_file_with_content(self):
        # >> file, and 1<> file at its end, inside a block: what was there
        # stays, the capture follows it byte for byte.
        dev = "file:%s,loop=20" % trace("afs.pcap")
        want = self.piped(["-i", dev])
        old = os.urandom(5001)
        name = os.path.join(self.out, "old")
        for flags in (os.O_WRONLY | os.O_APPEND, os.O_RDWR):
            with open(name, "wb") as f:
                f.write(old)
            out = os.open(name, flags)
            os.lseek(out, 0, os.SEEK_END)
            res = run(["-j", "arrival", "-w", "/dev/stdout", "-i", dev], stdout=out)
            os.close(out)
            self.assertEqual(res.returncode, 0, res.stderr.decode())
            with open(name, "rb") as f:
                self.assertEqual(f.read(), old + want)


class StandardOutput(CaptureCase):
    def test_piped_into_tcpdump(self):
        flt = "udp port 7000"
        tcpdump = subprocess.Popen(["tcpdump", "-r", "-", "-w", self.path("out.pcap")],
                                   stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        res = run(["-w", "-", "-i", "file:" + trace("afs.pcap")] + flt.split(), stdout=tcpdump.stdin)
        tcpdump.stdin.close()
        self.assertEqual(tcpdump.wait(timeout=30), 0)
        self.assertEqual(res.returncode, 0)
        (report,) = parse_reports(res.stderr.decode())
        self.assertEqual(report.threads, {0: ("", 601, 138)})
        self.assertEqual(report.summary, ("-", 601, 138))
        pcap = pcapfile.read(self.path("out.pcap"))
        self.assertEqual(payloads(pcap), payloads(tcpdump_select(trace("afs.pcap"), flt)))

    def test_names_of_open_descriptors_write_there(self):
        # -w /dev/stdout into a pipe: the pipe gets the capture, /dev gets nothing.
        before = os.listdir("/dev")
        res = run(["-w", "/dev/stdout", "-i", "file:" + trace("vxlan.pcap")])
        self.assertEqual(tcpdump_count(res.stdout), 10)
        self.assertEqual(os.listdir("/dev"), before)
        res = run(["-p", "2", "-w", "/dev/fd/1", "-i", "file:" + trace("vxlan.pcap")])
        self.assertEqual((res.returncode, res.stdout), (255, b""))

    def test_one_stream_whatever_p_says(self):
        # One stream opened and read: the replay ends by itself, nothing lost.
        res = run(["-w", "-", "-p", "4", "-i", "file:" + trace("arp-oobr.pcap")])
        (report,) = parse_reports(res.stderr.decode())
        self.assertEqual(report.threads, {0: ("", 2282, 2282)})
        self.assertEqual(tcpdump_count(res.stdout), 2282)

        res = run(["-w", "-", "-p", "4", "-c", "40", "-i", "file:" + trace("arp-oobr.pcap")])
        (report,) = parse_reports(res.stderr.decode())
        self.assertTrue(40 <= report.threads[0][2] <= 71, report.threads[0])
        self.assertEqual(tcpdump_count(res.stdout), report.threads[0][2])

    def test_unselected_worker_writes_nothing_at_all(self):
        res = run(["-w", "-", "-q", "1", "-i", "file:" + trace("afs.pcap")], cwd=self.dir)
        self.assertEqual(res.returncode, 0)
        self.assertEqual(res.stdout, b"")
        self.assertEqual(res.stderr.decode(),
                         "\nCapture statistics:\n"
                         "    Summary : dumpfile -, 0 packets recved, 0 packets captured.\n\n")
        self.assertEqual(os.listdir(self.dir), [])

    def test_zero_workers_become_one(self):
        res = run(["-w", "-", "-p", "0", "-i", "file:" + trace("vxlan.pcap")])
        (report,) = parse_reports(res.stderr.decode())
        self.assertEqual(report.threads, {0: ("", 10, 10)})
        self.assertEqual(tcpdump_count(res.stdout), 10)

if __name__ == "__main__":
    main()
