"""Stopping a capture with SIGINT or SIGTERM, also at random moments, and the
interim report of SIGUSR1."""
import calendar
import glob
import os
import random
import re
import shutil
import signal
import subprocess
import time

from e2e_common import (LIVE_LIKE, CaptureCase, main, parse_reports, payloads, pcapfile, read_text, run,
                        slow_reader, start, tcpdump_select, trace, wait_files, wait_for,
                        whole_records, zstd_frames)

LONG_TRACE = "file:" + trace("afs.pcap") + ",loop=1000000"
# Selects 21 of the trace's 601 packets, so the files stay small.
FILTER = ["udp", "port", "7003"]
# 14 packets, about 1.6 kB: a looped replay makes many small records quickly.
TINY_LOOPED = "file:" + trace("gateway_or_not.pcap") + ",loop=1000000"


def in_fifo_open(pid):
    """Whether pid waits in the open of a FIFO that has no writer."""
    try:
        with open("/proc/%d/wchan" % pid) as f:
            return f.read() == "wait_for_partner"
    except OSError:
        return False


class StopSignals(CaptureCase):
    def stop_running_capture(self, signo):
        err = self.path("stderr")
        proc = start(["-p", "3", "-i", LONG_TRACE, "-w", self.path("c.pcap")] + FILTER,
                     stderr_path=err)
        files = [self.path("c_%d.pcap" % i) for i in range(3)]
        wait_files(proc, files)
        # Some records written: the files are flushed at the latest a second after.
        wait_for(lambda: proc.poll() is not None or sum(map(os.path.getsize, files)) > 3 * 24,
                 timeout=60, what="records in the files")
        self.assertIsNone(proc.poll(), "the looped replay should still be running")
        proc.send_signal(signo)
        self.assertEqual(proc.wait(timeout=30), 0)
        (report,) = parse_reports(read_text(err))
        self.assertEqual(sorted(report.threads), [0, 1, 2])
        self.assertGreater(report.summary[2], 0)
        # Every record counted is in its file, whole, and is a packet of the trace.
        self.assertReportMatchesFiles(report, {})
        known = payloads(tcpdump_select(trace("afs.pcap"), " ".join(FILTER)))
        for i in range(3):
            for rec in pcapfile.read(self.path("c_%d.pcap" % i)).records:
                self.assertIn(rec[4], known)

    def test_sigint_while_workers_run(self):
        self.stop_running_capture(signal.SIGINT)

    def test_sigterm_while_workers_run(self):
        self.stop_running_capture(signal.SIGTERM)

    def test_sighup_without_rotation_ends_as_sigterm_does(self):
        self.stop_running_capture(signal.SIGHUP)

    def test_second_interrupt_does_the_same(self):
        err = self.path("stderr")
        proc = start(["-i", LONG_TRACE, "-w", self.path("c.pcap")] + FILTER, stderr_path=err)
        wait_files(proc, [self.path("c_0.pcap")])
        proc.send_signal(signal.SIGINT)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 0)
        (report,) = parse_reports(read_text(err))
        self.assertReportMatchesFiles(report, {})

    def stop_during_setup(self, signo):
        # Worker 1's file is a FIFO that nobody reads: its set-up blocks in the
        # open, and no worker captures before every file is open. The stop
        # ends the set-up there.
        os.mkfifo(self.path("c_1"))
        err = self.path("stderr")
        proc = start(["-p", "3", "-i", LONG_TRACE, "-w", self.path("c")] + FILTER, stderr_path=err)
        self.addCleanup(proc.kill)
        wait_files(proc, [self.path("c_0")], min_size=23)  # worker 0's header
        wait_for(lambda: proc.poll() is not None or in_fifo_open(proc.pid), timeout=60,
                 what="worker 1's open waiting on the FIFO")
        self.assertIsNone(proc.poll())
        proc.send_signal(signo)
        self.assertEqual(proc.wait(timeout=30), 0)
        (report,) = parse_reports(read_text(err))
        self.assertEqual(report.threads, {0: (self.path("c_0"), 0, 0)})
        self.assertFalse(os.path.exists(self.path("c_2")))
        self.assertEqual(pcapfile.read(self.path("c_0")).records, [])

    def signal_in_device_open(self, signo, ignored=False):
        # Opening a FIFO as the savefile blocks inside the device open.
        fifo = self.path("trace")
        os.mkfifo(fifo)
        proc = start(["-i", "file:" + fifo, "-w", self.path("c.pcap")], stderr_path=self.path("stderr"),
                     preexec_fn=(lambda: signal.signal(signo, signal.SIG_IGN)) if ignored else None)
        wait_for(lambda: proc.poll() is not None or in_fifo_open(proc.pid), timeout=60,
                 what="the device open waiting on the FIFO")
        self.assertIsNone(proc.poll())
        proc.send_signal(signo)
        return proc, fifo

    def test_sigint_before_the_device_is_open_has_its_default_action(self):
        # Also when started with interrupts ignored, as a script's background job is.
        for ignored in (False, True):
            proc, _ = self.signal_in_device_open(signal.SIGINT, ignored)
            self.assertEqual(proc.wait(timeout=30), -signal.SIGINT)
            self.assertNotIn("Capture statistics", read_text(self.path("stderr")))
            self.assertEqual(sorted(os.listdir(self.dir)), ["stderr", "trace"])
            os.unlink(self.path("trace"))

    def test_sigusr1_before_the_device_is_open_is_harmless(self):
        proc, fifo = self.signal_in_device_open(signal.SIGUSR1)
        time.sleep(0.2)
        self.assertIsNone(proc.poll())
        with open(fifo, "wb") as f, open(trace("afs.pcap"), "rb") as t:
            f.write(t.read())
        self.assertEqual(proc.wait(timeout=30), 0)
        self.assertEqual(parse_reports(read_text(self.path("stderr")))[-1].summary[1:], (601, 601))

    def test_sigint_during_setup(self):
        self.stop_during_setup(signal.SIGINT)

    def test_sigterm_during_setup(self):
        self.stop_during_setup(signal.SIGTERM)


class InterimReport(CaptureCase):
    def test_sigusr1_reports_and_capture_goes_on(self):
        err, stats = self.path("stderr"), self.path("s.prom")
        proc = start(["-p", "2", "-S", stats, "-i", LONG_TRACE, "-w", self.path("c.pcap")] + FILTER,
                     stderr_path=err)
        receiving = re.compile(r'^trawlcap_received_packets_total\{worker="[01]"\} [1-9]', re.M)
        wait_for(lambda: proc.poll() is not None or os.path.exists(stats) and
                 len(receiving.findall(read_text(stats))) == 2, timeout=60, what="both workers receiving")
        proc.send_signal(signal.SIGUSR1)
        wait_for(lambda: "Summary" in read_text(err), what="the interim report")
        time.sleep(0.3)
        self.assertIsNone(proc.poll(), "SIGUSR1 must not end the capture")
        proc.send_signal(signal.SIGUSR1)
        wait_for(lambda: read_text(err).count("Summary") == 2, what="the second interim report")
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 0)
        first, second, final = parse_reports(read_text(err))
        for r in (first, second, final):
            self.assertEqual(sorted(r.threads), [0, 1])
            self.assertEqual(r.summary[0], self.path("c.pcap"))
            self.assertEqual(r.summary[1], sum(t[1] for t in r.threads.values()))
        for i in (0, 1):
            self.assertGreater(first.threads[i][1], 0)
            self.assertLessEqual(first.threads[i][1], second.threads[i][1])
            self.assertLessEqual(second.threads[i][1], final.threads[i][1])
        self.assertReportMatchesFiles(final, {})



class StalledOutput(CaptureCase):
    def test_reports_while_the_output_stalls_and_a_stop_that_waits_for_it(self):
        # -w - into a pipe nobody reads yet: the queue fills, the worker
        # goes on and drops. SIGUSR1 says so after its report; SIGINT stops
        # the capture, and the report comes once the reader took everything.
        go, out, err, stats = (self.path(n) for n in ("go", "out", "stderr", "s.prom"))
        reader = slow_reader(out, go=go)
        proc = start(["-w", "-", "--write-queue=1M", "-S", stats, "-i", LONG_TRACE],
                     stdout=reader.stdin, stderr_path=err, env=LIVE_LIKE)
        reader.stdin.close()
        wait_for(lambda: os.path.exists(stats), what="the capture")
        # Asked again until the queue is full and the line is there.
        wait_for(lambda: proc.send_signal(signal.SIGUSR1) or "output fell behind" in read_text(err),
                 what="the dropped line")
        text = read_text(err)
        self.assertLess(text.index("Summary"), text.index("output fell behind"))
        proc.send_signal(signal.SIGINT)
        time.sleep(0.5)
        self.assertIsNone(proc.poll(), "the stop must wait for the stalled output")
        open(go, "w").close()
        self.assertEqual((proc.wait(timeout=60), reader.wait(timeout=60)), (0, 0))
        text = read_text(err)
        final = parse_reports(text)[-1]
        _, received, captured = final.threads[0]
        self.assertEqual(len(pcapfile.read(out).records), captured)
        self.assertTrue(text.endswith("%d packets dropped because the output fell behind "
                                      "(per thread: %d)\n" % ((received - captured,) * 2)), text)


class RotationAndStatistics(CaptureCase):
    def test_windows_sighup_and_a_statistics_file_polled_meanwhile(self):
        # Two workers whose filter takes next to nothing: idle ones still start
        # a file in every 1 s window; SIGHUP adds one in the current window.
        stats, err = self.path("stats.prom"), self.path("stderr")
        proc = start(["-p", "2", "-G", "1", "-S", stats, "-i", LONG_TRACE, "-w", self.path("g.pcap"),
                      "udp", "port", "7003"], stderr_path=err)
        # From the first files on: a slow start must not eat into the windows.
        wait_for(lambda: proc.poll() is not None or len(glob.glob(self.path("g_*.pcap"))) >= 2, timeout=60,
                 what="the first files")

        def windows(i):
            return {f[-21:-5] for f in glob.glob(self.path("g_%d_*.pcap" % i))}
        seen, hup_at, deadline = {}, time.monotonic() + 1.6, time.monotonic() + 60
        # Until SIGHUP is sent and each worker has files of 3 windows (a busy
        # machine may hold a worker back over a window).
        while hup_at or min(len(windows(0)), len(windows(1))) < 3:
            self.assertLess(time.monotonic(), deadline, "files of 3 windows")
            if hup_at and time.monotonic() > hup_at:
                proc.send_signal(signal.SIGHUP)
                hup_at = None
            # Whole at every read: renamed into place, never written in place.
            try:
                with open(stats) as f:
                    text = f.read()
            except FileNotFoundError:
                continue
            self.assertTrue(text.endswith("trawlcap_command_failures_total 0\n"), text)
            for line in text.splitlines():
                if not line.startswith("#"):
                    name, value = line.rsplit(" ", 1)
                    self.assertGreaterEqual(int(value), seen.get(name, 0), name)
                    seen[name] = int(value)
            time.sleep(0.02)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 0)
        (report,) = parse_reports(read_text(err))
        with open(stats) as f:
            final = dict(l.rsplit(" ", 1) for l in f.read().splitlines() if not l.startswith("#"))
        for i, (name, received, captured) in report.threads.items():
            files = sorted(glob.glob(self.path("g_%d_*.pcap" % i)))
            self.assertEqual(name, files[-1])
            self.assertEqual(final['trawlcap_received_packets_total{worker="%d"}' % i], str(received))
            self.assertEqual(final['trawlcap_captured_packets_total{worker="%d"}' % i], str(captured))
            self.assertEqual(final['trawlcap_files_total{worker="%d"}' % i], str(len(files)))
            self.assertEqual(int(final['trawlcap_written_bytes_total{worker="%d"}' % i]),
                             sum(os.path.getsize(f) for f in files))
            self.assertEqual(sum(len(pcapfile.read(f).records) for f in files), captured)
            times = [calendar.timegm(time.strptime(f[-21:-5], "%Y%m%dT%H%M%SZ")) for f in files]
            self.assertGreaterEqual(len(set(times)), 3)
            self.assertEqual(len(files), len(set(times)) + 1)  # SIGHUP's file shares its window
            for f, t in zip(files, times):
                for rec in pcapfile.read(f).records:
                    self.assertTrue(t <= rec[0] < t + 1, (f, rec[0]))

    def test_sighup_under_C_alone_and_under_nohup(self):
        # Under -C alone SIGHUP starts every worker's next file, nothing lost;
        # started under nohup it stays ignored: no new file, and the capture
        # goes on, writing more than the 1 MiB it may have held at the signal.
        for n, (opts, nohup, files) in enumerate(((["-C", "1G"], False, 2), (["-C", "1G"], True, 1),
                                                  ([], True, 1))):
            with self.subTest(opts=opts, nohup=nohup):
                out, err = self.path("r%d" % n), self.path("r%d/stderr" % n)
                os.mkdir(out)
                proc = start(["-p", "2"] + opts + ["-i", LONG_TRACE, "-w", out + "/c.pcap"] + FILTER, stderr_path=err,
                             preexec_fn=(lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN)) if nohup else None)
                self.addCleanup(proc.kill)  # a capture left running by a failed check
                named = lambda i: sorted(glob.glob(out + ("/c_%d_*.pcap" if opts else "/c_%d.pcap") % i))
                written = lambda: sum(os.path.getsize(f) for f in named(0) + named(1))
                wait_for(lambda: named(0) and named(1), what="both workers' files")
                at_hup = written()
                proc.send_signal(signal.SIGHUP)
                wait_for(lambda: written() > at_hup + (4 << 20), what="the capture going on")
                wait_for(lambda: len(named(0)) == len(named(1)) == files, what="%d files a worker" % files)
                proc.send_signal(signal.SIGINT)
                self.assertEqual(proc.wait(timeout=30), 0)
                (report,) = parse_reports(read_text(err))
                for i in (0, 1):
                    self.assertEqual(len(named(i)), files)
                    self.assertEqual([whole_records(f)[1] for f in named(i)], [True] * files)
                    self.assertEqual(sum(whole_records(f)[0] for f in named(i)), report.threads[i][2])
                shutil.rmtree(out)


class RotationAndCommands(CaptureCase):
    def test_sigusr1_while_workers_rotate(self):
        # The report names each worker's current file while the worker moves
        # on to the next (ThreadSanitizer watches the names being read).
        err = self.path("stderr")
        proc = start(["-p", "2", "-C", "16k", "-W", "2", "-i", TINY_LOOPED, "-w",
                      self.path("u.pcap")], stderr_path=err)
        self.addCleanup(proc.kill)
        wait_for(lambda: glob.glob(self.path("u_1_*")), what="the workers' files")
        for n in range(1, 6):
            proc.send_signal(signal.SIGUSR1)
            wait_for(lambda: read_text(err).count("Summary") == n, what="report %d" % n)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 0)
        for report in parse_reports(read_text(err)):
            for i, (name, _, _) in report.threads.items():
                self.assertRegex(name, r"/u_%d_\d{5}_\d{8}T\d{6}Z\.pcap$" % i)

    def test_a_stop_ends_the_wait_for_a_command_that_never_ends(self):
        # The replay ends by itself; its last file's command sleeps for ever.
        # A stop signal then ends the wait, says what was left running, and
        # the statistics file gets its final counts.
        script, err, stats = self.path("z.sh"), self.path("stderr"), self.path("s.prom")
        with open(script, "w") as f:
            f.write("#!/bin/sh\nexec sleep 1000\n")
        os.chmod(script, 0o755)
        # Planted where the statistics file's temporary file once was.
        os.symlink(self.path("victim"), self.path(".s.prom.tmp"))
        proc = start(["-C", "1", "-z", script, "-S", stats, "-i", "file:" + trace("afs.pcap"),
                      "-w", self.path("z.pcap")], stderr_path=err)
        wait_for(lambda: "Summary" in read_text(err), what="the final report")
        # Meanwhile the statistics file keeps its pace with the final counts.
        wait_for(lambda: 'trawlcap_captured_packets_total{worker="0"} 601\n' in read_text(stats),
                 what="the statistics file during the wait")
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=10), 0)
        left = re.findall(r"Cannot wait for %s on dumpfile (\S+): stopped, left running as "
                          r"process (\d+)\n" % script, read_text(err))
        self.assertEqual([n for n, _ in left], [glob.glob(self.path("z_0_*"))[0]])
        for _, pid in left:
            os.killpg(int(pid), signal.SIGKILL)
        with open(stats) as f:
            self.assertIn('trawlcap_captured_packets_total{worker="0"} 601\n', f.read())
        self.assertFalse(os.path.exists(self.path("victim")))


class KilledCompressedCapture(CaptureCase):
    def test_sigkill_leaves_files_of_whole_frames_of_whole_records(self):
        proc = start(["-p", "2", "-C", "200k", "--compress=zstd", "-i", LONG_TRACE,
                      "-w", self.path("k.pcap")])
        self.addCleanup(proc.kill)  # a capture left running by a failed check
        wait_for(lambda: len(glob.glob(self.path("k_1_*"))) > 3, timeout=120, what="files")
        proc.kill()
        proc.wait(timeout=30)
        for n in glob.glob(self.path("k_*")):
            if os.path.getsize(n) == 0:
                continue  # killed between its creation and its header's frame
            data, _, frames = zstd_frames(n)
            pcap = pcapfile.parse(data)
            self.assertEqual((pcap.trailing, frames > 0), (b"", True), n)


class SignalsAtRandomMoments(CaptureCase):
    RUNS = 100
    # The replay source is fast: the count bounds each run's files to a few
    # megabytes, still several flushes of the 1 MiB write buffer.
    LIMIT = "60000"

    def test_every_counted_packet_is_in_the_files(self):
        seed = int(os.environ.get("TRAWLKIT_SEED", time.time()))
        rng = random.Random(seed)
        outcomes = {"killed": 0, "stopped": 0, "finished": 0}
        # The signals fall within what a whole run takes on this machine, so
        # that many land while the workers write, however fast it is.
        t0 = time.monotonic()
        run(["-p", "4", "-c", self.LIMIT, "-i", TINY_LOOPED, "-w", self.path("t.pcap")])
        span = time.monotonic() - t0
        for run_no in range(self.RUNS):
            signo = rng.choice([signal.SIGINT, signal.SIGTERM])
            workers = rng.randint(1, 4)
            # Start-up (before the handlers) and set-up take a few
            # milliseconds, so half the runs aim there; the capture, also
            # under the sanitizers' slower start, falls in the wider range.
            delay = rng.uniform(0, 0.008) if rng.random() < 0.5 else rng.uniform(0, span)
            out = os.path.join(self.dir, "r%d" % run_no)
            os.mkdir(out)
            err = os.path.join(out, "stderr")
            proc = start(["-p", str(workers), "-c", self.LIMIT, "-i", TINY_LOOPED, "-w",
                          os.path.join(out, "c.pcap")], stderr_path=err)
            time.sleep(delay)
            proc.send_signal(signo)
            rc = proc.wait(timeout=30)
            text = read_text(err)
            what = "seed %d, run %d: %s after %.3f s, %d workers:\n%s" % (
                seed, run_no, signo.name, delay, workers, text)
            reports = parse_reports(text)
            if not reports:
                # Before the handlers are installed the signal ends the process.
                self.assertEqual(rc, -signo, what)
                outcomes["killed"] += 1
                continue
            self.assertEqual(rc, 0, what)
            self.assertEqual(len(reports), 1, what)
            # Each worker ends at its limit, up to a burst beyond it, or
            # earlier at the signal; never later.
            limit = int(self.LIMIT) // workers
            captured = [t[2] for t in reports[0].threads.values()]
            self.assertTrue(all(c < limit + 32 for c in captured), what)
            finished = len(captured) == workers and all(c >= limit for c in captured)
            outcomes["finished" if finished else "stopped"] += 1
            for i, (name, _, captured) in reports[0].threads.items():
                self.assertEqual(whole_records(name), (captured, True), what)
                res = subprocess.run(["tcpdump", "-r", name, "-w", "-"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                self.assertEqual(res.returncode, 0, what + res.stderr.decode())
            for name in os.listdir(out):
                os.unlink(os.path.join(out, name))
            os.rmdir(out)
        print("outcomes of %d runs: %s" % (self.RUNS, outcomes))
        self.assertGreaterEqual(outcomes["stopped"], 3, "seed %d: too few stops while capturing" % seed)

if __name__ == "__main__":
    main()
