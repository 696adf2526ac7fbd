// Savefile formats read as bytes (savefile.h): the walk, the check of a
// file's start, and the time formats by which stamps are read back.
#include "savefile.h"

#include <pcap/pcap.h>

#include <cstdio>

#include "internal.h"
#include "mutex.h"

namespace {

constexpr uint32_t kMagicUsec = 0xa1b2c3d4, kMagicNsec = 0xa1b23c4d;
constexpr uint32_t kBlockSection = 0x0a0d0d0a, kByteOrder = 0x1a2b3c4d;
constexpr uint32_t kBlockInterface = 1, kBlockSimple = 3, kBlockEnhanced = 6;
constexpr uint16_t kOptEnd = 0, kOptTsresol = 9, kOptTsoffset = 14; // interface options
constexpr uint32_t kMaxBlock = 16u << 20;
// The open looks this far into a file for its first packet (pcapng may
// put other blocks first); what lies beyond is checked as it is replayed.
constexpr uint64_t kFirstRecordWithin = uint64_t{256} << 10;
constexpr uint64_t kNsPerSec = 1000000000;

uint32_t no_time(bool swapped)
{
    return swapped;
}

uint32_t classic_format(bool nsec, bool swapped)
{
    return 2 + 2 * nsec + swapped;
}

// The index of an interface's format in the file's table, added when new;
// no time when the table is full of other formats.
uint32_t units_format(time_formats *t, bool swapped, uint8_t resol, int64_t offset)
    EXCLUDES(t->lock)
{
    mutex_lock held(&t->lock);
    for (uint32_t i = 0; i < t->count; ++i) {
        const time_format &f = t->entry[i];
        if (f.kind == stamp::units && f.swapped == swapped && f.resol == resol &&
            f.offset == offset)
            return i;
    }
    if (t->count == kMaxFormats)
        return no_time(swapped);
    t->entry[t->count] = time_format{stamp::units, swapped, resol, offset};
    return t->count++;
}

walk damaged(char *why, size_t why_size, const char *what, uint64_t off)
{
    snprintf(why, why_size, "%s at byte %llu", what, static_cast<unsigned long long>(off));
    return walk::damaged;
}

// The classic record at c->off, up to limit.
walk next_classic(const uint8_t *base, uint64_t limit, cursor *c, found *r, char *why,
                  size_t why_size)
{
    if (c->off >= limit)
        return walk::eof;
    if (limit - c->off < 16)
        return walk::cut;
    uint32_t caplen = rd32(base + c->off + 8, c->swapped);
    if (caplen > kMaxCaplen)
        return damaged(why, why_size, "a record with an absurd captured length", c->off);
    if (limit - c->off - 16 < caplen)
        return walk::cut;
    *r = found{c->off + 16, caplen, c->format[0], caplen < rd32(base + c->off + 12, c->swapped)};
    c->off += 16 + caplen;
    return walk::record;
}

// A section header: its byte-order mark sets the order of what follows,
// and its interfaces start afresh.
walk section_header(const uint8_t *p, uint64_t avail, cursor *c, char *why, size_t why_size)
{
    if (avail < 12)
        return walk::cut;
    uint32_t bom;
    memcpy(&bom, p + 8, 4);
    if (bom != kByteOrder && bom != __builtin_bswap32(kByteOrder))
        return damaged(why, why_size, "a section header with no byte-order mark", c->off);
    c->swapped = bom != kByteOrder;
    c->nr_ifaces = 0;
    return walk::other;
}

// The time format of an interface block: its if_tsresol and if_tsoffset
// options, microseconds and no offset when absent. The options end at the
// end-of-options code, or at one that would run past the block.
uint32_t interface_format(const uint8_t *p, uint32_t total, bool swapped, time_formats *formats)
{
    uint8_t resol = 6;
    int64_t offset = 0;
    for (uint32_t at = 16; at + 4 <= total - 4;) {
        uint16_t code = rd16(p + at, swapped), len = rd16(p + at + 2, swapped);
        if (code == kOptEnd || len > total - 4 - at - 4)
            break;
        if (code == kOptTsresol && len >= 1)
            resol = p[at + 4];
        if (code == kOptTsoffset && len >= 8)
            offset = static_cast<int64_t>(rd64(p + at + 4, swapped));
        at += 4 + ((len + 3u) & ~3u);
    }
    return units_format(formats, swapped, resol, offset);
}

// An interface block: Ethernet, or damage; its time format kept.
walk interface_block(const uint8_t *p, uint32_t total, time_formats *formats, cursor *c, char *why,
                     size_t why_size)
{
    uint16_t lt = total >= 20 ? rd16(p + 8, c->swapped) : 0;
    if (lt != DLT_EN10MB) {
        const char *name = pcap_datalink_val_to_name(lt);
        snprintf(why, why_size, "link type %s (%d) is not Ethernet", name ? name : "unknown", lt);
        return walk::damaged;
    }
    if (c->nr_ifaces == 0)
        c->snaplen0 = rd32(p + 12, c->swapped);
    if (c->nr_ifaces < kSectionIfaces)
        c->format[c->nr_ifaces] =
            static_cast<uint16_t>(interface_format(p, total, c->swapped, formats));
    c->nr_ifaces++;
    return walk::other;
}

// What a block of a known length holds: a packet, an interface, or nothing.
walk block_body(const uint8_t *p, uint32_t type, uint32_t total, time_formats *formats, cursor *c,
                found *r, char *why, size_t why_size)
{
    if (type == kBlockInterface)
        return interface_block(p, total, formats, c, why, why_size);
    if (type == kBlockEnhanced) {
        uint32_t caplen = total >= 32 ? rd32(p + 20, c->swapped) : UINT32_MAX;
        uint32_t iface = total >= 32 ? rd32(p + 8, c->swapped) : UINT32_MAX;
        if (total < 32 || iface >= c->nr_ifaces || caplen > total - 32 || caplen > kMaxCaplen)
            return damaged(why, why_size, "a damaged enhanced packet block", c->off);
        uint32_t format = iface < kSectionIfaces ? c->format[iface] : no_time(c->swapped);
        *r = found{c->off + 28, caplen, static_cast<uint16_t>(format),
                   caplen < rd32(p + 24, c->swapped)};
        return walk::record;
    }
    if (type == kBlockSimple) {
        if (c->nr_ifaces == 0)
            return damaged(why, why_size, "a simple packet block before any interface", c->off);
        uint32_t wire = rd32(p + 8, c->swapped);
        uint32_t len = wire < total - 16 ? wire : total - 16;
        if (c->snaplen0 != 0 && len > c->snaplen0)
            len = c->snaplen0;
        len = len > kMaxCaplen ? kMaxCaplen : len;
        *r = found{c->off + 12, len, static_cast<uint16_t>(no_time(c->swapped)), len < wire};
        return walk::record;
    }
    return walk::other;
}

// The pcapng block at c->off, up to limit.
walk next_block(const uint8_t *base, uint64_t limit, time_formats *formats, cursor *c, found *r,
                char *why, size_t why_size)
{
    if (c->off >= limit)
        return walk::eof;
    uint64_t avail = limit - c->off;
    const uint8_t *p = base + c->off;
    if (avail < 12)
        return walk::cut;
    uint32_t type = rd32(p, c->swapped);
    if (type == kBlockSection && section_header(p, avail, c, why, why_size) == walk::damaged)
        return walk::damaged;
    uint32_t total = rd32(p + 4, c->swapped);
    if (total < 16 || total % 4 || total > kMaxBlock)
        return damaged(why, why_size, "a block with an impossible length", c->off);
    if (avail < total)
        return walk::cut;
    if (rd32(p + total - 4, c->swapped) != total)
        return damaged(why, why_size, "a block whose two lengths differ", c->off);
    walk w = block_body(p, type, total, formats, c, r, why, why_size);
    if (w != walk::damaged)
        c->off += total;
    return w;
}

// -1, with what is wrong in why and the verb of its line in *verb.
int refused(const char *verb, const char *what, const char **verb_out, char *why, size_t why_size)
{
    *verb_out = verb;
    snprintf(why, why_size, "%s", what);
    return -1;
}

// The file header: its magic and, for classic pcap, its link type.
int check_file_header(const uint8_t *base, uint64_t size, savefile_start *start, const char **verb,
                      char *why, size_t why_size)
{
    uint32_t magic = size >= 4 ? rd32(base, false) : 0;
    bool pcapng = magic == kBlockSection;
    bool swapped = magic == __builtin_bswap32(kMagicUsec) || magic == __builtin_bswap32(kMagicNsec);
    if (!pcapng && !swapped && magic != kMagicUsec && magic != kMagicNsec)
        return refused("open",
                       size < 4 ? "the file header is cut short" : "not a pcap or pcapng savefile",
                       verb, why, why_size);
    bool nsec = magic == kMagicNsec || magic == __builtin_bswap32(kMagicNsec);
    start->pcapng = pcapng;
    start->stretch0 = cursor{pcapng ? 0u : 24u, 0, 0, swapped, {}};
    start->stretch0.format[0] = static_cast<uint16_t>(classic_format(nsec, swapped));
    start->head_at = 0;
    if (!pcapng && size < 24)
        return refused("open", "the file header is cut short", verb, why, why_size);
    uint32_t lt = pcapng ? DLT_EN10MB : rd32(base + 20, swapped) & 0x03ffffff;
    if (lt == DLT_EN10MB)
        return 0;
    const char *name = pcap_datalink_val_to_name(static_cast<int>(lt));
    snprintf(why, why_size, "link type %s (%u) is not Ethernet", name ? name : "unknown", lt);
    *verb = "replay";
    return -1;
}

// A count of units of 10^-r or 2^-r seconds (r from if_tsresol) plus an
// offset in seconds, as seconds and nanoseconds; -1 when the seconds do
// not fit in 64 bits. 128-bit arithmetic: no count or resolution can
// overflow it, so absurd stamps give absurd times, never undefined ones.
int units_time(uint64_t count, uint8_t resol, int64_t offset, int64_t *sec, uint32_t *nsec)
{
    uint32_t r = resol & 0x7fu;
    unsigned __int128 unit = 1;
    if (resol & 0x80u)
        unit <<= r;   // r < 128
    else if (r <= 38) // 10^38 < 2^127
        for (uint32_t i = 0; i < r; ++i)
            unit *= 10;
    else
        unit = 0; // a unit below 10^-38 s: every count is under a nanosecond
    uint64_t whole = unit ? static_cast<uint64_t>(count / unit) : 0;
    uint64_t frac = unit ? static_cast<uint64_t>(count % unit * kNsPerSec / unit) : 0;
    int64_t s;
    if (whole > static_cast<uint64_t>(INT64_MAX) ||
        __builtin_add_overflow(static_cast<int64_t>(whole), offset, &s))
        return -1;
    *sec = s;
    *nsec = static_cast<uint32_t>(frac);
    return 0;
}

} // namespace

void init_time_formats(time_formats *t)
{
    static constexpr time_format fixed[] = {{stamp::none, false, 0, 0}, {stamp::none, true, 0, 0},
                                            {stamp::usec, false, 0, 0}, {stamp::usec, true, 0, 0},
                                            {stamp::nsec, false, 0, 0}, {stamp::nsec, true, 0, 0}};
    mutex_lock held(&t->lock);
    memcpy(t->entry, fixed, sizeof fixed);
    t->count = sizeof fixed / sizeof fixed[0];
}

walk next_record(bool pcapng, const uint8_t *base, uint64_t limit, time_formats *formats, cursor *c,
                 found *r, char *why, size_t why_size)
{
    return pcapng ? next_block(base, limit, formats, c, r, why, why_size)
                  : next_classic(base, limit, c, r, why, why_size);
}

int check_savefile_start(const uint8_t *base, uint64_t size, time_formats *formats,
                         savefile_start *start, const char **verb, char *why, size_t why_size)
{
    if (check_file_header(base, size, start, verb, why, why_size) < 0)
        return -1;
    cursor c = start->stretch0;
    found r{};
    walk w;
    while ((w = next_record(start->pcapng, base, size, formats, &c, &r, why, why_size)) ==
               walk::other &&
           c.off < kFirstRecordWithin)
        ;
    if (start->pcapng && c.off == 0 && w == walk::cut)
        return refused("open", "the file header is cut short", verb, why, why_size);
    if (w == walk::damaged) {
        *verb = "replay";
        return -1;
    }
    if (w == walk::record)
        start->head_at = r.off - 16; // a record's data follows at least 16 bytes
    return 0;
}

int record_time(const time_format &f, const uint8_t *data, int64_t *sec, uint32_t *nsec)
{
    if (f.kind == stamp::none)
        return -1;
    const uint8_t *h = data - 16; // the header's time stamp, then its lengths
    uint32_t hi = rd32(h, f.swapped), lo = rd32(h + 4, f.swapped);
    if (f.kind == stamp::units)
        return units_time(uint64_t{hi} << 32 | lo, f.resol, f.offset, sec, nsec);
    // Classic: a fraction of a second or more is carried into the seconds.
    uint32_t per_sec = f.kind == stamp::usec ? 1000000 : 1000000000;
    *sec = int64_t{hi} + lo / per_sec;
    *nsec = lo % per_sec * (1000000000 / per_sec);
    return 0;
}

int savefile_cannot(const char *verb, const char *path, const char *why)
{
    return vexmo_cannot("%s savefile %s: %s", verb, path, why);
}

int savefile_cannot_errno(const char *verb, const char *path, int err)
{
    return vexmo_cannot_errno(err, "%s savefile %s", verb, path);
}
