#!/usr/bin/python3
"""Live capture in a private network namespace over a veth pair.

Usage: live_test.py PROBE

Creates a namespace with a veth pair (va <-> vb), runs the probe on vb with
1 and then 3 streams, and sends known UDP frames into va from an AF_PACKET
socket, some with an 802.1Q tag. Every frame must come back exactly once
and unchanged (the kernel takes VLAN tags out of the frame on receive; they
must be put back, 802.1ad ones with their own TPID), each flow on one stream.
The frames outnumber what the receive ring holds, so the ring only keeps up
when freed blocks go back to the kernel. A run that never frees fills the
ring, and no frame may be handed out twice. Then: frames to another MAC on a
bridge (which passes them up only when promiscuous), a stopped process, a
tun interface, and vb deleted during a capture. Skips (exit 77) where
namespaces cannot be made.
"""
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import time

SKIP = 77
MAGIC = b"VEXMO-LIVE"
FLOWS = 48
COUNT = 30000


def skip(why):
    print("SKIP: %s" % why)
    sys.exit(SKIP)


def frame(seq):
    flow = seq % FLOWS
    src, dst = bytes([10, 9, 0, 1]), bytes([10, 9, 1, 1 + flow % 4])
    sport, dport = 20000 + flow, 7000
    payload = MAGIC + struct.pack("!II", seq, flow)
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0x4000, 64, 17, 0, src, dst)
    eth = b"\x02\x00\x00\x00\x00\x0b" + b"\x02\x00\x00\x00\x00\x0a"
    if flow % 8 == 7:  # some flows carry an 802.1Q tag, which must survive
        eth += struct.pack("!HH", 0x8100, 0x2000 | flow)
    if flow % 8 == 3:  # and some 802.1ad + 802.1Q (QinQ)
        eth += struct.pack("!HHHH", 0x88a8, 0x3000 | flow, 0x8100, 0x100 | flow)
    return eth + b"\x08\x00" + ip + udp


def sender(count, gap):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind(("va", 0))
    for seq in range(count):
        s.send(frame(seq))
        if seq % 64 == 63 or gap:
            time.sleep(gap or 0.001)  # stay under the receive backlog


def send(ns, count=COUNT, gap=0):
    r = sh(ns, sys.executable, os.path.abspath(__file__), "--send", str(count), str(gap))
    return ["sender failed: %s" % r.stderr] if r.returncode else []


def probe_run(probe, ns, dev, action, streams=1, seconds=3):
    """Runs the probe on dev while action(p) sends; returns (seqs seen, stderr, stdout)."""
    p = subprocess.Popen(["ip", "netns", "exec", ns, probe, dev, str(streams), "0", str(seconds), "stats"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if p.stdout.readline().strip() == "ready":
        action(p)
    out, err = p.communicate(timeout=60)
    seen = [l.split(" ")[2] for l in out.splitlines()[:-1]]
    return [struct.unpack("!I", bytes.fromhex(h)[-8:-4])[0] for h in seen if MAGIC.hex() in h], err, out


def stopped(probe, ns, dev, count, gap, streams=1):
    """Frames sent while the probe is stopped: (stamp rows, drops per stream
    in the statistics, and in the drop line or None)."""
    def act(p):
        p.send_signal(signal.SIGSTOP)
        send(ns, count, gap)
        p.send_signal(signal.SIGCONT)
    _, err, out = probe_run(probe, ns, dev, act, streams)
    m = re.search(r"Interface vb: \d+ packets dropped by kernel \(per stream: ([\d ]+)\)", err)
    return ([l.split() for l in out.splitlines() if l.startswith("stamp")],
            [int(l.split()[2]) for l in out.splitlines() if l.startswith("stats")],
            m and [int(d) for d in m.group(1).split()])


# Device, streams, a command run once it is open, and what must then hold of
# (KiB mapped per ring, stderr, stdout).
LO = ("Interface lo carries frames of up to 65550 bytes (MTU 65536): frames over 65535 bytes are not written; "
      "ip link set lo mtu 65521\n")
ROWS = [("vb", 1, [], lambda m, e, o: m == [8192]), ("vb", 130, [], lambda m, e, o: m == [1024] * 130),
        ("vb,ring=1K", 2, [], lambda m, e, o: m == [1024] * 2), ("vb,ring=1100K", 1, [], lambda m, e, o: m == [1152]),
        ("vb,ring=1099511627776", 1, [], lambda m, e, o: "rings of 1073741824 KiB for 1 streams need more" in e),
        ("lo", 1, ["-c", "import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(bytes(65507), "
                   "('127.0.0.1', 9))"], lambda m, e, o: e == LO and " 65549 " in o),
        ("vb,fanout=lb", 5, [__file__, "--send", "240", "0"],  # lb spreads each flow over the streams
         lambda m, e, o: len({(l.split()[0], l.split()[2][-8:]) for l in o.splitlines() if MAGIC.hex() in l}) > FLOWS)]


def promiscuity(ns):
    return re.search(r"promiscuity (\d+)", sh(ns, "ip", "-d", "link", "show", "vbr").stdout).group(1)


def more_cases(probe, ns):
    problems = []
    before = promiscuity(ns)
    for dev, want in (("vbr", 50), ("vbr,promisc=0", 0)):
        seen, err, _ = probe_run(probe, ns, dev, lambda p: send(ns, 50))
        if len(seen) != want:
            problems.append("%s: %d of 50 frames to another MAC, want %d" % (dev, len(seen), want))
    if promiscuity(ns) != before:
        problems.append("promiscuity %s after the runs, was %s" % (promiscuity(ns), before))
    ours, drops, line = stopped(probe, ns, "vb", 15, 0.1)
    at = [float(r[2]) for r in ours]
    if (len(ours), drops, line) != (15, [0], None) or min(b - a for a, b in zip(at, at[1:])) < 0.05 or any(
            r[3] != r[4] for r in ours):  # stamped on arrival, VLAN tags in both lengths
        problems.append("stalled 1.5 s: %d seen, drops %s %s, want 15 and none, 0.1 s apart" % (len(ours), drops, line))
    ours, drops, line = stopped(probe, ns, "vb,ring=1K,fanout=lb", COUNT, 0, 3)
    if len(ours) + sum(drops) != COUNT or line != drops or 0 in drops:
        problems.append("3 small rings: %d seen + drops %s (line %s) != %d sent" % (len(ours), drops, line, COUNT))
    for dev, streams, cmd, ok in ROWS:
        kib, t = [], time.time()
        def act(p):
            maps = open("/proc/%d/maps" % p.pid).read()
            kib.extend((int(b, 16) - int(a, 16)) >> 10 for a, b in re.findall(r"^(\w+)-(\w+) .*socket:", maps, re.M))
            return cmd and sh(ns, sys.executable, *cmd)
        _, err, out = probe_run(probe, ns, dev, act, streams, 1)
        if not ok(kib, err, out) or time.time() - t > 5:  # sockets closed one by one took seconds
            problems.append("%s x%d: %.1f s, KiB mapped %s, stderr %s" % (dev, streams, time.time() - t, kib[:2], err))
    sh(ns, "ip", "tuntap", "add", "mode", "tun", "name", "tn")
    _, err, _ = probe_run(probe, ns, "tn", lambda p: None)
    if not (err.startswith("Cannot") and err.count("\n") == 1 and "not Ethernet" in err):
        problems.append("tun interface not refused: %s" % err)
    t = time.time()
    _, err, out = probe_run(probe, ns, "vb", lambda p: sh(ns, "ip", "link", "del", "va"), 2, 30)
    if (time.time() - t > 10 or "sigints 1" not in out or not err.startswith("Cannot capture on interface vb")
            or len(re.findall(r"^stats \d+ \d+ 0 2$", out, re.M)) != 2):  # every stream FAILED
        problems.append("interface deleted: %.1f s, %s, stderr %s" % (time.time() - t, out[-12:], err))
    return problems


def sh(ns, *cmd):
    return subprocess.run(["ip", "netns", "exec", ns] + list(cmd), capture_output=True, text=True)


def run(probe, ns, streams, hold=False):
    args = ["0", "3", "hold"] if hold else [str(COUNT)]
    dev = "vb,ring=256K" if hold else "vb"
    p = subprocess.Popen(["ip", "netns", "exec", ns, probe, dev, str(streams)] + args,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = p.stdout.readline().strip()
    if first != "ready":
        p.kill()
        return ["%d streams: probe did not start: %s %s" % (streams, first, p.stderr.read())]
    sent = send(ns)
    if sent:
        p.kill()
        return sent
    out, err = p.communicate(timeout=60)
    seen = {}
    where = {}
    problems = []
    if p.returncode != 0:
        problems.append("%d streams: probe exit status %d: %s" % (streams, p.returncode, err[-2000:]))
    for line in out.splitlines()[:-1]:
        st, _, hexdata = line.split(" ")
        data = bytes.fromhex(hexdata)
        at = data.find(MAGIC)
        if at < 0:
            continue  # other traffic on the link
        seq, flow = struct.unpack("!II", data[at + len(MAGIC):at + len(MAGIC) + 8])
        seen[seq] = seen.get(seq, 0) + 1
        if where.setdefault(flow, st) != st:
            problems.append("%d streams: flow %d on streams %s and %s" % (streams, flow, where[flow], st))
        if data != frame(seq):
            problems.append("%d streams: frame %d changed" % (streams, seq))
    missing = [q for q in range(COUNT) if q not in seen]
    twice = [q for q, n in seen.items() if n != 1]
    if hold:
        if twice:
            problems.append("holding: %d frames handed out more than once" % len(twice))
        if not missing or not seen:
            problems.append("holding: %d of %d frames seen, want some but not all" % (len(seen), COUNT))
        print("holding every buffer: %d frames before the ring was full" % len(seen))
        return problems[:10]
    if missing:
        problems.append("%d streams: %d frames missing (first %d)" % (streams, len(missing), missing[0]))
    if twice:
        problems.append("%d streams: %d frames more than once" % (streams, len(twice)))
    used = set(where.values())
    if streams > 1 and len(used) < 2:
        problems.append("%d streams: all %d flows on one stream" % (streams, FLOWS))
    print("%d streams: %d frames, flows per stream %s" % (
        streams, len(seen), sorted(list(where.values()).count(s) for s in used)))
    return problems[:10]


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--send":
        sender(int(sys.argv[2]), float(sys.argv[3]))
        return 0
    probe = sys.argv[1]
    if os.geteuid() != 0:
        skip("live capture test needs root (network namespace, veth, CAP_NET_RAW)")
    ns = "vexmo_live_%d" % os.getpid()
    r = subprocess.run(["ip", "netns", "add", ns], capture_output=True, text=True)
    if r.returncode != 0:
        skip("cannot create a network namespace here: %s" % r.stderr.strip())
    try:
        for cmd in (["sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1"],
                    ["sysctl", "-qw", "net.ipv6.conf.default.disable_ipv6=1"],
                    ["ip", "link", "add", "va", "type", "veth", "peer", "name", "vb"],
                    ["ip", "link", "add", "name", "vbr", "type", "bridge", "mcast_snooping", "0"],  # no IGMP of its own
                    ["ip", "link", "set", "vb", "master", "vbr"], ["ip", "link", "set", "lo", "up"],
                    ["sysctl", "-qw", "net.bridge.bridge-nf-call-iptables=0"],  # no checksum checks
                    ["ip", "link", "set", "va", "up"], ["ip", "link", "set", "vb", "up"],
                    ["ip", "link", "set", "vbr", "up"]):
            r = sh(ns, *cmd)
            if r.returncode != 0 and cmd[0] == "ip":
                skip("cannot set up a veth pair in a namespace: %s" % r.stderr.strip())
        problems = run(probe, ns, 1) + run(probe, ns, 3) + run(probe, ns, 2, hold=True) + more_cases(probe, ns)
    finally:
        subprocess.run(["ip", "netns", "del", ns], capture_output=True)
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


sys.exit(main())
