#!/usr/bin/python3
"""Writes the seed corpora under fuzz/corpus/ (run once; the files are kept
in git, and inputs that found faults are added next to them by hand)."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TRACES = os.path.join(HERE, "..", "tests", "data", "traces")
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
import pcapfile  # noqa: E402


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def words(*ws):
    return b"\0".join(w.encode() if isinstance(w, str) else w for w in ws)


# trawlcap command lines.
put("cmdline", "full", words("-i", "file:trace.pcap,loop=2", "-w", "out.pcap", "-p", "4", "-c",
                             "1000", "-q", "0,2", "tcp", "port", "80"))
put("cmdline", "stdout", words("-w", "-", "-p", "0x10", "udp"))
put("cmdline", "too_many_threads", words("-p", "129"))
put("cmdline", "bad_numbers", words("-c", "abc", "-p", "-1"))
put("cmdline", "list_commas", words("-q", ",,3,,64,-1"))
put("cmdline", "unknown_option", words("-x", "-w"))
put("cmdline", "long_filter", words(*(["host"] * 600)))
put("cmdline", "long_device", words("-i", "x" * 64))
put("cmdline", "options_after_words", words("tcp", "-p", "2", "--", "-w", "x"))
put("cmdline", "check", words("--ch", "-i", "lo", "-s", "0", "-w", "c.pcap", "udp"))
put("cmdline", "check_refused", words("-C", "0x10", "-x", "--check"))

# Per-thread names: index (4 bytes), output size (2 bytes), base.
def name(index, size, base):
    return struct.pack("<iH", index, size) + base.encode()

put("dumpfile_name", "plain", name(3, 2048, "capture.pcap"))
put("dumpfile_name", "no_dot", name(0, 2048, "capture"))
put("dumpfile_name", "dot_in_dir", name(12, 2048, "run.d/capture"))
put("dumpfile_name", "many_dots", name(127, 2048, "/var/tmp/a.b/c.d.pcap"))
put("dumpfile_name", "cut", name(5, 7, "capture.pcap"))
put("dumpfile_name", "negative", name(-2147483648, 2048, ".hidden"))

# bitpeel: zone byte, identifier, optional base time.
put("bitpeel", "candidates", b"\0" + words("2274325413085511680"))
put("bitpeel", "base", b"\1" + words("2274319137695858688", "2018-08-08 08:00:00"))
put("bitpeel", "summer_gap", b"\1" + words("0", "2018-03-25 02:30:00"))
put("bitpeel", "version", b"\2" + words("-vh"))
put("bitpeel", "help", b"\3" + words("--HELP"))
put("bitpeel", "negative", b"\4" + words("-1", "1970-01-01 00:00:00 trailing"))
put("bitpeel", "overflow", b"\5" + words("99999999999999999999", "9999-12-31 23:59:59"))
put("bitpeel", "bad_base", b"\0" + words(" +42", "2018-13-45 25:61:61"))

# Savefiles: stream-count byte, pass byte, file bytes.
def trace(name):
    with open(os.path.join(TRACES, name), "rb") as f:
        return f.read()

def first_records(data, n):
    pf = pcapfile.parse(data)
    out = data[:24]
    off = 24
    for rec in pf.records[:n]:
        out += data[off:off + 16 + rec[2]]
        off += 16 + rec[2]
    return out

small = first_records(trace("vxlan.pcap"), 4)
put("savefile", "usec", b"\3\1" + small)
put("savefile", "empty", b"\1\0" + trace("empty.pcap"))
put("savefile", "ipv6", b"\2\2" + first_records(trace("ipv6-routing-header.pcap"), 3))
put("savefile", "pcapng", b"\4\1" + trace("OSPFv2_Capture_FINAL.pcapng")[:1500])
put("savefile", "truncated", b"\1\0" + small[:-7])
other = bytearray(small)
other[20:24] = struct.pack("<I", 113)  # Linux cooked capture
put("savefile", "other_linktype", b"\1\0" + bytes(other))
nsec = bytearray(small)
nsec[0:4] = struct.pack("<I", pcapfile.MAGIC_NSEC)
put("savefile", "nsec", b"\7\1" + bytes(nsec))
big_endian = struct.pack(">IHHiIII", pcapfile.MAGIC_USEC, 2, 4, 0, 0, 65535, 1) + \
    struct.pack(">IIII", 1, 2, 14, 14) + bytes(14)
put("savefile", "big_endian", b"\2\0" + big_endian)
put("savefile", "garbage", b"\1\0" + b"\xd4\xc3\xb2\xa1" + bytes(40))
absurd = bytearray(small)
absurd[24 + 8:24 + 12] = struct.pack("<I", 0x7fffffff)
put("savefile", "absurd_first_length", b"\1\0" + bytes(absurd))
later = bytearray(small)
second = 24 + 16 + pcapfile.parse(small).records[0][2]
later[second + 8:second + 12] = struct.pack("<I", 0x7fffffff)
put("savefile", "damage_later", b"\2\1" + bytes(later))

def ng_block(end, btype, body):
    body += bytes(-len(body) % 4)
    return struct.pack(end + "II", btype, len(body) + 12) + body + struct.pack(end + "I", len(body) + 12)

def ng_section(end, frames):
    out = ng_block(end, 0x0A0D0D0A, struct.pack(end + "IHHq", 0x1A2B3C4D, 1, 0, -1))
    out += ng_block(end, 1, struct.pack(end + "HHI", 1, 0, 0)) * 2
    for i, fr in enumerate(frames):
        out += ng_block(end, 6, struct.pack(end + "IIIII", i % 2, 0, 0, len(fr), len(fr)) + fr) if i % 3 \
            else ng_block(end, 3, struct.pack(end + "I", len(fr)) + fr)
    return out

frames = [rec[4] for rec in pcapfile.parse(small).records]
put("savefile", "pcapng_two_sections", b"\3\1" + ng_section(">", frames) + ng_section("<", frames[::-1]))
# Interfaces in 10^-127 s, in 2^-127 s less 2^63 s, in s plus 2^63 - 1 s; short records, the largest stamps.
ifaces = [ng_block("<", 1, struct.pack("<HHIHHB3xHHq", 1, 0, 0, 9, 1, r, 14, 8, o)) for r, o in ((0x7F, 0), (0xFF, -2**63), (0, 2**63 - 1))]
epbs = [ng_block("<", 6, struct.pack("<IIIII", i % 3, 2**32 - 1, 2**32 - 1, len(fr), len(fr) + 9) + fr) for i, fr in enumerate(frames)]
put("savefile", "pcapng_time_formats", b"\2\1" + ng_block("<", 0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)) + b"".join(ifaces + epbs))

# Extraction: an expression, a newline, a savefile (see fuzz_extract.cc).
put("extract", "qinq_arp", b"vlan 200 and arp host 172.21.79.100\n" + trace("802.1ad_QinQ.pcap"))
put("extract", "ipv6_chain", b"ip6 and udp port 54321\n" + trace("ipv6_ext_headers.pcap"))
put("extract", "mixed", b"icmp or icmp6 or host 10.0.0.1 and not arp\n" +
    trace("gateway_or_not.pcap"))
put("extract", "ports", b"tcp port 80 or 443\n" + small)
put("extract", "big_endian", b"src or dst host 131.151.1.59\n" + big_endian)
put("extract", "truncated", b"\n" + small[:-7])
put("extract", "relation", b"(tcp[12]>>4)*4 > 20 or udp\n" + small)

# libtallyboard: interval byte, then operations (see fuzz_tallyboard.cc).
def reg(n):
    return b"\0" + n.encode() + b"\0"

def op(opbyte, fid, value, code=None):
    out = bytes([opbyte])
    out += struct.pack("<I", fid) if opbyte & 0x10 else bytes([fid])
    if opbyte & 0x20:
        out += struct.pack("<i", code)
    return out + struct.pack("<q", value)

put("tallyboard", "add_set", b"\1" + reg("rx") + reg("tx") + op(1, 0, 5) + op(0x41, 1, -9) +
    op(1, 0, 2**63 - 1) + op(1, 0, 1))
put("tallyboard", "bad_ids", b"\2" + reg("a") + op(0x11, 0xffffffff, 1) + op(1, 1, 1) +
    op(0x21, 0, 1, 3) + op(0x21, 0, 1, -1))
put("tallyboard", "many_fields", b"\3" + b"".join(reg("f%d" % i) for i in range(20)) +
    op(1, 19, -2**63))
put("tallyboard", "long_name", b"\4" + reg("n" * 3000) + op(1, 0, 7))
