// The replay device's records, shared by its stretch cache
// (stretch_cache.cc) and its streams (replay.cc).
//
// The file is cut into stretches of about 256 KiB (the records that start
// inside one). The first stream to need a stretch walks it and decides
// every record's stream by the flow hash, into an index sorted by stream,
// kept in a small cache shared by all streams and rebuilt when a stream
// that fell far behind misses it. Each entry's bookkeeping is changed under
// the device's lock only; its index is written by the one stream filling
// it and read by the streams that hold it once it is ready.
#ifndef VEXMO_REPLAY_H
#define VEXMO_REPLAY_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "internal.h"
#include "mapping.h"
#include "mutex.h"
#include "savefile.h"

// Small enough that a stretch just indexed is still in cache when its
// stream hands it out; large enough that its few system calls (populate,
// size check) and lock round trips are nothing beside its packets.
constexpr uint64_t kStretch = uint64_t{256} << 10;
// Every record takes at least 16 bytes of the file.
constexpr uint32_t kMaxRecords = kStretch / 16 + 1;
// Descriptors per stream; a slot is reused once its buffer is freed.
constexpr uint32_t kRing = 1024;
static_assert((kRing & (kRing - 1)) == 0, "ring index is masked");

// A record in a stretch's index: where its data starts, from the start of
// its stretch (inside it, or a header after it), its time format in the
// file's table, whether it holds less than its frame, and its length.
constexpr uint32_t kOffBits = 20;
struct record {
    uint32_t off : kOffBits;
    uint32_t format : kFormatBits;
    uint32_t truncated : 1;
    uint32_t len;
};
static_assert(sizeof(record) == 8, "index entry");
static_assert(kStretch + 64 < (1u << kOffBits) && kOffBits + kFormatBits + 1 == 32, "record bits");

struct scratch_record {
    record r;
    uint32_t stream;
};

// A cache entry's bookkeeping.
struct stretch_state {
    int64_t stretch_no; // the stretch it holds; -1 when empty
    uint32_t pins;
    uint64_t used;
    bool walked, ready;
    bool last;   // set with walked: the last stretch of a pass
    bool failed; // last, and the replay ends here before the file's end
    cursor next; // set with walked: where the next stretch starts
};

// A cache entry's index, filled before the entry is ready.
struct stretch_index {
    cursor start;     // set when the entry is claimed
    uint32_t *bounds; // nr_streams + 1 bounds into recs
    record *recs;     // sorted by stream, trace order within each
    bool truncated;   // some record holds less than its frame
};

// What a stream reads of the stretch it holds without the lock, copied
// when it pins the entry: nothing in it changes until it lets go.
struct stretch_view {
    const record *recs;
    const uint8_t *base; // where the stretch starts, in the file's bytes
    uint64_t start_off;  // and in the file
    int entry;           // the entry pinned; -1 for none
    bool last, failed;
    bool truncated; // some record holds less than its frame
    cursor next;
};

struct alignas(64) replay_stream {
    vexmo_buff *ring;
    std::atomic<uint8_t> *held; // per ring slot: handed out, not yet freed
    // 1 while the poller sleeps for its next slot to be freed (a futex word).
    std::atomic<uint32_t> waiting;
    uint32_t slot;
    uint32_t pos, stop; // the stream's records in cur: next to hand out, one past its last
    stretch_view cur;
    int64_t stretch_no; // the stretch the stream is in
    cursor start;       // where that stretch starts
    uint64_t passes_left;
    bool done, drained;
    bool failed;                     // done before the file's end: damage, a cut record or file
    uint32_t idle_polls;             // empty polls since the drain was reported
    std::atomic<uint32_t> state;     // VEXMO_STREAM_*, for any thread
    std::atomic<uint64_t> truncated; // records handed out short of their frame
    scratch_record *scratch;
};

struct replay_device {
    savefile_bytes file;
    bool pcapng;
    time_formats formats; // the file's; buffers point at their record's
    cursor stretch0;      // where stretch 0 starts: the first record, and the parse state there
    replay_stream *streams;
    uint32_t nr_streams;
    unsigned __int128 stream_magic; // for hash % nr_streams by multiplying
    // Guards the cache's bookkeeping; waited on for an entry walked or ready.
    annotated_mutex lock;
    stretch_state *entries PT_GUARDED_BY(lock);
    stretch_index *indexes;
    uint32_t nr_cache;
    uint64_t tick GUARDED_BY(lock);
    void *arena; // indexes, scratch and rings: touched only as used
    size_t arena_size;
    std::atomic<uint64_t> walks; // stretches indexed, for the tests of the cache
    std::atomic<bool> reported;  // the device's one line is out
    alignas(64) std::atomic<uint32_t> drained_streams;
    char path[4096];
};

// The device's region of set-up memory, in pieces.
// Each piece starts on a cache line.
inline size_t piece_size(size_t n)
{
    return (n + 63) & ~size_t{63};
}

inline uint8_t *take_piece(uint8_t **at, size_t n)
{
    uint8_t *piece = *at;
    *at += piece_size(n);
    return piece;
}

// The stretch cache (stretch_cache.cc).
// The cache's entries, empty, each with room for its index, in the
// device's region from *at on.
void set_up_cache(replay_device *dev, uint8_t **at);
// Pins the entry of stretch s->stretch_no, indexed, into s->cur and sets
// s->pos and s->stop; -1 only when every entry is held, which the cache's
// size rules out.
int pin_stretch(replay_device *dev, replay_stream *s) EXCLUDES(dev->lock);
void unpin_stretch(replay_device *dev, stretch_view *cur) EXCLUDES(dev->lock);
// Where the replay may read up to now; looks at a mapped file.
uint64_t readable_now(replay_device *dev) EXCLUDES(dev->lock);

// m for mod_by_magic: 2^128 / d rounded up; 0 for no streams.
inline unsigned __int128 stream_magic(uint32_t d)
{
    return d ? ~static_cast<unsigned __int128>(0) / d + 1 : 0;
}

// h % d, given m = stream_magic(d): exact for every 64-bit h, and a few
// multiplications instead of a division per packet.
inline uint32_t mod_by_magic(uint64_t h, unsigned __int128 m, uint32_t d)
{
    unsigned __int128 low = m * h;
    unsigned __int128 bottom = ((low & UINT64_MAX) * d) >> 64;
    unsigned __int128 top = (low >> 64) * d;
    return static_cast<uint32_t>((bottom + top) >> 64);
}

#endif // VEXMO_REPLAY_H
