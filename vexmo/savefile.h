// Savefile formats read as bytes: the check of a file's start and the walk
// from one record to the next, for classic pcap (micro- or nanosecond time
// stamps, either byte order) and pcapng; and the table of time formats by
// which a record's stamp is read back later. Nothing here holds a file or a
// device: every function reads the bytes it is given, up to the limit it is
// given, and says where it stopped; the walk adds the time formats it meets
// to the file's table it is given.
//
// pcapng: sections follow one another, each with its own byte order and
// interfaces; every interface must be Ethernet (another link type is
// damage); enhanced and simple packet blocks are packets, other blocks are
// skipped.
#ifndef VEXMO_SAVEFILE_H
#define VEXMO_SAVEFILE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "mutex.h"

// A captured length above this is damage, not a packet.
constexpr uint32_t kMaxCaplen = 262144;
// Interfaces of a section whose time formats the walk keeps; an enhanced
// packet of a later one has no time (its wire length is still known).
constexpr uint32_t kSectionIfaces = 32;
// A record names its time format by its index in its file's table of at
// most kMaxFormats.
constexpr uint32_t kFormatBits = 11, kMaxFormats = 1u << kFormatBits;

// How a record's time stamp and wire length are read back from the header
// that sits just before its data in the file, so nothing about time is
// stored or computed per packet until a caller asks. In all three record
// kinds the header's last 4 bytes hold the original length and, but for a
// simple packet, the 8 before them the time stamp (classic: seconds, then
// micro- or nanoseconds; enhanced: the high and low halves of a count of
// the interface's units).
enum class stamp : uint8_t { none, usec, nsec, units };
struct time_format {
    stamp kind;
    bool swapped;
    uint8_t resol;  // units: if_tsresol, 10^-n seconds, or 2^-n with the top bit set
    int64_t offset; // units: if_tsoffset, seconds added
};

// A file's time formats, each once by value. The first six are fixed (no
// time and the classic kinds, in each byte order); the walk adds an
// interface's format under the lock before any record names it, and a
// reader that has a record's index (published with it) reads the entry
// without the lock. A file of more formats than the table holds gives the
// rest no time; the table is the file's, so no number of files fills it.
struct time_formats {
    annotated_mutex lock;
    uint32_t count GUARDED_BY(lock);
    time_format entry[kMaxFormats];
};
void init_time_formats(time_formats *t);

// What one step of the walk found: a packet record, a block that is none
// (pcapng), the limit, a record cut short by the limit, or damage.
enum class walk : int { record, other, eof, cut, damaged };

// A place in the file and the parse state there.
struct cursor {
    uint64_t off;
    uint32_t nr_ifaces; // pcapng: interfaces of the current section
    uint32_t snaplen0;  // pcapng: snap length of interface 0, for simple packets
    bool swapped;
    // Time formats of the section's first interfaces, as indexes in the
    // file's table; classic: [0] is the file's.
    uint16_t format[kSectionIfaces];
};

// A record as the walk finds it: its data's offset in the file, its
// captured length, its time format, and whether it holds less than its
// original frame.
struct found {
    uint64_t off;
    uint32_t len;
    uint16_t format;
    bool truncated;
};

inline uint16_t rd16(const uint8_t *p, bool swapped)
{
    uint16_t v;
    memcpy(&v, p, 2);
    return swapped ? __builtin_bswap16(v) : v;
}

inline uint32_t rd32(const uint8_t *p, bool swapped)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return swapped ? __builtin_bswap32(v) : v;
}

inline uint64_t rd64(const uint8_t *p, bool swapped)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return swapped ? __builtin_bswap64(v) : v;
}

// The next record at or after c->off, reading no byte at or past limit; c
// moves past what was read (not past a cut record or damage). why (of
// why_size bytes) says what the damage is.
walk next_record(bool pcapng, const uint8_t *base, uint64_t limit, time_formats *formats, cursor *c,
                 found *r, char *why, size_t why_size);

// What the check of a file's start found.
struct savefile_start {
    bool pcapng;
    cursor stretch0;  // where the records start, and the parse state there
    uint64_t head_at; // where the first record's 16-byte header is; 0 for no record
};

// The file header and the records up to the first packet (pcapng: the
// blocks before it). 0 and *start filled; or -1 with what is wrong in why
// and the verb of its "Cannot" line in *verb: "open" for what is no
// savefile or is cut inside its header, "replay" for one with another link
// type or a damaged first record.
int check_savefile_start(const uint8_t *base, uint64_t size, time_formats *formats,
                         savefile_start *start, const char **verb, char *why, size_t why_size);

// The time stamp of a record of time format f whose data starts at data
// (its header's time stamp is the 16 bytes before the data, less the
// lengths); -1 for a format with no time or seconds that do not fit.
int record_time(const time_format &f, const uint8_t *data, int64_t *sec, uint32_t *nsec);

// The original length in the header just before a record's data.
inline uint32_t record_wire(const time_format &f, const uint8_t *data)
{
    return rd32(data - 4, f.swapped);
}

// The replay's one line on standard error, "Cannot VERB savefile PATH:
// WHY"; returns -1.
int savefile_cannot(const char *verb, const char *path, const char *why);
// The same with the system's text for err as WHY.
int savefile_cannot_errno(const char *verb, const char *path, int err);

#endif // VEXMO_SAVEFILE_H
