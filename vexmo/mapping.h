// A savefile's bytes: the file mapped where it can be, read whole into
// memory where it cannot; how a mapping the file was cut under is repaired
// and the cut seen; and the readable end, up to which the replay may read.
//
// Why a mapping: buffers point into it, so no byte is copied, and filling
// its page tables costs one madvise per stretch of file on the first pass
// and nothing per byte or per packet. Its price is SIGBUS when the file
// shrinks under it: a process-wide handler puts zero pages over what was
// cut in one of our mappings (a fault anywhere else goes to the handler
// that was there before, or to the default action) and notes the lowest
// page cut, for the replay to end there. Input that cannot be mapped (a
// FIFO, a pipe on /dev/stdin) is read whole at the open instead, up to half
// the memory available; a device is refused.
#ifndef VEXMO_MAPPING_H
#define VEXMO_MAPPING_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

// A mapping the SIGBUS handler may repair: its bounds, and the lowest page
// found cut (0 for none). Read in the handler, lock-free.
struct sigbus_watch {
    std::atomic<uintptr_t> lo, hi;
    std::atomic<uintptr_t> cut_at;
};

struct savefile_bytes {
    const uint8_t *base; // the mapping, or the copy of the input
    uint64_t size;
    bool mapped;
    int fd;
    sigbus_watch *watch; // the handler's watch over the mapping; null: none
    uintptr_t page_mask;
    void *copy; // input that cannot be mapped, read whole
    size_t copy_size;
    // Page tables are filled up to here. A hint, read and written relaxed:
    // a stale value costs one madvise more or less, never a wrong byte.
    std::atomic<uint64_t> populated;
    // The header of the file's first record (its time stamp and lengths)
    // as the open read it, and where it is; head_at is 0 for none kept.
    uint64_t head_at;
    uint8_t head[16];
    // The readable end: bytes before it may still be read. The file's size
    // at the open; moved down, never up, when the file is cut under the
    // mapping (to the cut) or written over (to 0), each time after the
    // mover has said why: a store with release, loaded with acquire, so
    // whoever stops at the new end comes after the line that said why.
    std::atomic<uint64_t> readable;
};

// Opens path and maps it, or reads it whole when it cannot be mapped. 0, or
// -1 after one "Cannot" line; release_savefile gives back what it took
// either way.
int load_savefile(const char *path, savefile_bytes *f);
void release_savefile(savefile_bytes *f);

// Keeps a mapped file's first record header at head_at, which whatever
// writes another trace over the file changes.
void keep_head(savefile_bytes *f, uint64_t head_at);

inline bool written_over(const savefile_bytes *f)
{
    return f->head_at != 0 && memcmp(f->base + f->head_at, f->head, sizeof f->head) != 0;
}

inline uint64_t readable_end(const savefile_bytes *f)
{
    return f->readable.load(std::memory_order_acquire);
}

// Whether the whole file may still be read (a next pass over it).
inline bool whole_readable(const savefile_bytes *f)
{
    return readable_end(f) == f->size;
}

// Where the readable end must be after a look at the file: below it when
// the file was cut under it (at the least of its size and the lowest page
// found cut), 0 when its first record's header changed and is still there
// to compare (*over); otherwise, and for a file read whole, where it is.
uint64_t end_after_look(const savefile_bytes *f, bool *over);

// Moves the readable end down to now, never up. A caller that says why
// says it first, and serialises its moves with its check of the end.
void lower_readable_end(savefile_bytes *f, uint64_t now);

// Whether a watched mapping may have changed below last_byte, the last
// byte a burst is to hand out, or was written over. When the file no longer
// reaches the page after the one that holds it, reading that page faults and
// the handler notes the page, so a cut anywhere below it is seen before
// the burst goes out (the page in which the file now ends reads as zeros
// past its end, without a fault: hence the page after). Past the mapping
// there is no such page: the caller asks the size. A page read, a flag and
// a 16-byte compare per burst, inline for that reason; relaxed on the
// flag, since the caller looks again with acquire when it is set.
inline bool changed_below(const savefile_bytes *f, const uint8_t *last_byte)
{
    if (f->watch == nullptr)
        return false;
    uintptr_t page = (reinterpret_cast<uintptr_t>(last_byte) & f->page_mask) + (~f->page_mask + 1);
    if (page >= reinterpret_cast<uintptr_t>(f->base) + f->size)
        return true;
    (void)*reinterpret_cast<const volatile uint8_t *>(page);
    return f->watch->cut_at.load(std::memory_order_relaxed) != 0 || written_over(f);
}

// Fills the page tables of a mapped file's bytes [from, to) once; later
// passes find them filled.
void populate(savefile_bytes *f, uint64_t from, uint64_t to);

#endif // VEXMO_MAPPING_H
