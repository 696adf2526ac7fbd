// Savefile formats read as bytes: the check of a file's start and the walk
// from one record to the next, for classic pcap (micro- or nanosecond time
// stamps, either byte order) and pcapng; and the table of time formats by
// which a record's stamp is read back later. Nothing here holds a file or a
// device: every function reads the bytes it is given, up to the limit it is
// given, and says where it stopped.
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

// A captured length above this is damage, not a packet.
constexpr uint32_t kMaxCaplen = 262144;
// Interfaces of a section whose time formats the walk keeps; an enhanced
// packet of a later one has no time (its wire length is still known).
constexpr uint32_t kSectionIfaces = 32;
// A record's time format is an index into a process-wide table of at most
// kMaxFormats; its meta word holds the index and, above it, kShortBit when
// the record holds less than its original frame.
constexpr uint32_t kFormatBits = 11, kMaxFormats = 1u << kFormatBits;
constexpr uint32_t kShortBit = 1u << kFormatBits;
constexpr uint32_t kMetaBits = kFormatBits + 1;

// What one step of the walk found: a packet record, a block that is none
// (pcapng), the limit, a record cut short by the limit, or damage.
enum class walk : int { record, other, eof, cut, damaged };

// A place in the file and the parse state there.
struct cursor {
    uint64_t off;
    uint32_t nr_ifaces; // pcapng: interfaces of the current section
    uint32_t snaplen0;  // pcapng: snap length of interface 0, for simple packets
    bool swapped;
    // Time formats of the section's first interfaces; classic: [0] is the file's.
    uint16_t format[kSectionIfaces];
};

// A record as the walk finds it: its data's offset in the file, its
// captured length, and its meta word (time format, short bit).
struct found {
    uint64_t off;
    uint32_t len;
    uint32_t meta;
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
walk next_record(bool pcapng, const uint8_t *base, uint64_t limit, cursor *c, found *r, char *why,
                 size_t why_size);

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
int check_savefile_start(const uint8_t *base, uint64_t size, savefile_start *start,
                         const char **verb, char *why, size_t why_size);

// The time stamp of a record of the given time format whose data starts at
// data (its header's time stamp is the 16 bytes before the data, less the
// lengths); -1 for a format with no time or seconds that do not fit.
int record_time(uint32_t format, const uint8_t *data, int64_t *sec, uint32_t *nsec);
// The original length in the header just before a record's data.
uint32_t record_wire(uint32_t format, const uint8_t *data);

// The replay's one line on standard error, "Cannot VERB savefile PATH:
// WHY"; returns -1.
int savefile_cannot(const char *verb, const char *path, const char *why);
// The same with the system's text for err as WHY.
int savefile_cannot_errno(const char *verb, const char *path, int err);

#endif // VEXMO_SAVEFILE_H
