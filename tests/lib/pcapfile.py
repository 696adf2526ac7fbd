"""Minimal classic-pcap reader and writer for the end-to-end tests.

Kept independent of the code under test: it parses the file format from the
bytes, so a test can check headers and records without trusting libpcap's
reading of what our own programs wrote. tcpdump is the second, independent
reader the tests use.
"""
import struct

MAGIC_USEC = 0xA1B2C3D4
MAGIC_NSEC = 0xA1B23C4D
FILE_HEADER_LEN = 24
RECORD_HEADER_LEN = 16


class PcapError(Exception):
    pass


class PcapFile:
    def __init__(self, endian, nsec, version, thiszone, sigfigs, snaplen, linktype, records, trailing):
        self.endian = endian          # '<' or '>'
        self.nsec = nsec              # time stamps in nanoseconds
        self.version = version        # (major, minor)
        self.thiszone = thiszone
        self.sigfigs = sigfigs
        self.snaplen = snaplen
        self.linktype = linktype
        self.records = records        # list of (ts_sec, ts_frac, caplen, wirelen, data)
        self.trailing = trailing      # bytes after the last whole record (a cut record)


def parse(data):
    if len(data) < FILE_HEADER_LEN:
        raise PcapError("short file header: %d bytes" % len(data))
    for endian in ("<", ">"):
        magic = struct.unpack(endian + "I", data[:4])[0]
        if magic in (MAGIC_USEC, MAGIC_NSEC):
            break
    else:
        raise PcapError("bad magic %r" % data[:4])
    _, vmaj, vmin, thiszone, sigfigs, snaplen, linktype = struct.unpack(endian + "IHHiIII", data[:24])
    records = []
    off = FILE_HEADER_LEN
    while off + RECORD_HEADER_LEN <= len(data):
        sec, frac, caplen, wirelen = struct.unpack(endian + "IIII", data[off:off + 16])
        if off + 16 + caplen > len(data):
            break
        records.append((sec, frac, caplen, wirelen, bytes(data[off + 16:off + 16 + caplen])))
        off += 16 + caplen
    return PcapFile(endian, magic == MAGIC_NSEC, (vmaj, vmin), thiszone, sigfigs, snaplen,
                    linktype, records, bytes(data[off:]))


def read(path):
    with open(path, "rb") as f:
        return parse(f.read())


def write(path, packets, linktype=1, snaplen=65535, nsec=False, endian="<", ts=None):
    """Writes packets (bytes, or (sec, frac, data) tuples) as a classic pcap file."""
    magic = MAGIC_NSEC if nsec else MAGIC_USEC
    with open(path, "wb") as f:
        f.write(struct.pack(endian + "IHHiIII", magic, 2, 4, 0, 0, snaplen, linktype))
        for i, p in enumerate(packets):
            if isinstance(p, tuple):
                sec, frac, body = p
            else:
                sec, frac, body = (ts or 1700000000) + i, 0, p
            f.write(struct.pack(endian + "IIII", sec, frac, len(body), len(body)))
            f.write(body)
