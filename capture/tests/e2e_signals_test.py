"""Stopping a capture with SIGINT or SIGTERM, and the interim report of SIGUSR1."""
import os
import signal
import time

from e2e_common import (CaptureCase, main, parse_reports, payloads, pcapfile, read_text, start,
                        tcpdump_select, trace, wait_for)

LONG_TRACE = "file:" + trace("afs.pcap") + ",loop=1000000"
# Selects 21 of the trace's 601 packets, so the files stay small.
FILTER = ["udp", "port", "7003"]


class StopSignals(CaptureCase):
    def stop_running_capture(self, signo):
        err = self.path("stderr")
        proc = start(["-p", "3", "-i", LONG_TRACE, "-w", self.path("c.pcap")] + FILTER,
                     stderr_path=err)
        time.sleep(1.0)
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

    def test_second_interrupt_does_the_same(self):
        err = self.path("stderr")
        proc = start(["-i", LONG_TRACE, "-w", self.path("c.pcap")] + FILTER, stderr_path=err)
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 0)
        (report,) = parse_reports(read_text(err))
        self.assertReportMatchesFiles(report, {})

    def stop_during_setup(self, signo):
        # Worker 1's file is a FIFO that nobody reads: its set-up blocks in the
        # open, with worker 0 already capturing. The stop ends the set-up there.
        os.mkfifo(self.path("c_1"))
        err = self.path("stderr")
        proc = start(["-p", "3", "-i", LONG_TRACE, "-w", self.path("c")] + FILTER, stderr_path=err)
        wait_for(lambda: os.path.exists(self.path("c_0")), what="worker 0's file")
        time.sleep(0.3)
        self.assertIsNone(proc.poll())
        proc.send_signal(signo)
        self.assertEqual(proc.wait(timeout=30), 0)
        (report,) = parse_reports(read_text(err))
        self.assertEqual(sorted(report.threads), [0])
        self.assertGreater(report.threads[0][2], 0)
        self.assertFalse(os.path.exists(self.path("c_2")))
        self.assertEqual(len(pcapfile.read(self.path("c_0")).records), report.threads[0][2])

    def signal_in_device_open(self, signo):
        # Opening a FIFO as the savefile blocks inside the device open.
        fifo = self.path("trace")
        os.mkfifo(fifo)
        proc = start(["-i", "file:" + fifo, "-w", self.path("c.pcap")], stderr_path=self.path("stderr"))
        time.sleep(0.5)
        self.assertIsNone(proc.poll())
        proc.send_signal(signo)
        return proc, fifo

    def test_sigint_before_the_device_is_open_has_its_default_action(self):
        proc, _ = self.signal_in_device_open(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), -signal.SIGINT)
        self.assertNotIn("Capture statistics", read_text(self.path("stderr")))
        self.assertEqual(sorted(os.listdir(self.dir)), ["stderr", "trace"])

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
        err = self.path("stderr")
        proc = start(["-p", "2", "-i", LONG_TRACE, "-w", self.path("c.pcap")] + FILTER,
                     stderr_path=err)
        time.sleep(0.5)
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


if __name__ == "__main__":
    main()
