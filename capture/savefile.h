// savefile.h - the sizes of the classic savefile format, and the walk over
// its records, that every part of the capture programs reads or writes by:
// trawlcap's writers, the index and trawlcap-extract's readers.
#ifndef CAPTURE_SAVEFILE_H
#define CAPTURE_SAVEFILE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr size_t kFileHeader = 24;       // a savefile's header
constexpr size_t kRecordHeader = 16;     // a savefile record's header
constexpr uint32_t kMaxSnapLen = 262144; // -s 0, the largest -s, the largest record read

struct savefile_walk {
    size_t end;     // where the last whole record ends
    uint64_t count; // the whole records before end
    bool damaged;   // the walk stopped at a length over kMaxSnapLen
};

// The whole records at the start of buf's len bytes, their headers in the
// host's byte order or (`swapped`) the other: the walk stops at a record
// that len cuts, at one whose length no reader takes (a damaged file), and
// before one that would end past `limit` (never before the first).
inline savefile_walk savefile_whole_records(const uint8_t *buf, size_t len, size_t limit,
                                            bool swapped)
{
    savefile_walk w{0, 0, false};
    while (w.end + kRecordHeader <= len) {
        uint32_t caplen;
        memcpy(&caplen, buf + w.end + 8, sizeof caplen);
        caplen = swapped ? __builtin_bswap32(caplen) : caplen;
        if (caplen > kMaxSnapLen) {
            w.damaged = true;
            break;
        }
        size_t next = w.end + kRecordHeader + caplen;
        if (next > len || (w.count && next > limit))
            break;
        w.end = next;
        w.count++;
    }
    return w;
}

#endif // CAPTURE_SAVEFILE_H
