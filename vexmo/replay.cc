// Savefile replay, read in place as the streams are polled.
//
// How the bytes reach the caller: the savefile is mapped (mapping.cc says
// why) and buffers point into the mapping. A cut file: the streams end at
// the file's new end, and no record at or past it is handed out once the
// device has seen the cut. It looks before each burst (one read of the
// page after the one that holds the burst's last byte, which faults when
// the file no longer reaches it, or at the file's last page its size; and
// one compare of the first record's header with what the open read, which
// differs when the file was written over, as `cp` onto it does) and at
// each stretch. What it cannot prevent is the shared mapping itself: a
// record handed out before the cut reads as zeros under its holder from
// then on, or as what was written over it. Descriptors come from a ring
// per stream; a slot is reused once its buffer is freed. Input that cannot
// be mapped is read whole at the open instead. A poll with nothing to hand
// out waits, as a live one does.
//
// Time stamps and wire lengths cost nothing until asked for: each index
// entry carries its record's time format (an index into savefile.cc's
// table) and whether it is short of its frame, the hand-out copies that
// word into the descriptor, and the optional calls read the record's header
// in the file, just before the data.
//
// How packets reach their stream: the file is cut into stretches of about
// 256 KiB (the records that start inside it). The first stream to need a
// stretch walks it and decides every record's stream by the flow hash, into
// an index sorted by stream, kept in a small cache shared by all streams and
// rebuilt when a stream that fell far behind misses it. A stream that finds
// its stretch being indexed by another indexes the one after it meanwhile,
// so the work of indexing is shared out and each packet is hashed once.
// Record boundaries are only known by walking, so each cache entry also
// carries where the next stretch starts, published before the hashing.
//
// Damage: the open checks the file header and the first record (pcapng: the
// blocks up to the first packet) and refuses with one "Cannot" line. Damage
// found later, a last record cut short, or a file cut during the replay end
// every stream there as the end of the file would, after one "Cannot" line
// per device; the whole records before it are replayed.
//
// When every stream has been drained, SIGINT is sent to the process once,
// as an operator would, so that a capture of a savefile ends by itself.
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "internal.h"
#include "mapping.h"
#include "savefile.h"

namespace {

// Small enough that a stretch just indexed is still in cache when its
// stream hands it out; large enough that its few system calls (populate,
// size check) and lock round trips are nothing beside its packets.
constexpr uint64_t kStretch = uint64_t{256} << 10;
constexpr uint64_t kPrefetch = 4096;
// Every record takes at least 16 bytes of the file.
constexpr uint32_t kMaxRecords = kStretch / 16 + 1;
constexpr uint32_t kMaxCache = 256;
// Descriptors per stream; a slot is reused once its buffer is freed.
constexpr uint32_t kRing = 1024;
// A poll with nothing to hand out (a drained stream, a ring full of
// buffers not given back) waits this long at most, as a live one does, so
// that a host polling an idle stream in a loop costs no CPU.
constexpr int kIdleWaitMs = 100;
static_assert((kRing & (kRing - 1)) == 0, "ring index is masked");

// A record: its data as an offset from the start of its stretch, and its
// length. The data starts inside the stretch or a header after it, so the
// offset needs 20 bits; the bits above carry what the hand-out passes on
// to the buffer's block as they are: the record's meta word (its time
// format and, on top, whether it holds less than the original frame).
struct record {
    uint32_t off;
    uint32_t len;
};
static_assert(sizeof(record) == 8, "index entry");
constexpr uint32_t kOffBits = 20, kOffMask = (1u << kOffBits) - 1;
static_assert(kStretch + 64 <= kOffMask && kOffBits + kMetaBits == 32, "record bits");

struct scratch_record {
    record r;
    uint32_t stream;
};

// One cache entry. key, pins, used, walked and ready change under the
// device lock; the rest is written by the one stream filling the entry
// before it sets walked (next, last) or ready (first, recs).
struct stretch {
    int64_t key; // stretch number, -1 when empty
    uint32_t pins;
    uint64_t used;
    bool walked, ready, last;
    bool failed; // last, and the replay ends here before the file's end
    cursor start, next;
    uint32_t *first; // nr_streams + 1 bounds into recs
    record *recs;    // sorted by stream, trace order within each
};

} // namespace

struct alignas(64) replay_stream {
    vexmo_buff *ring;
    std::atomic<uint8_t> *held; // per ring slot: handed out, not yet freed
    // 1 while the poller sleeps for its next slot to be freed (a futex word).
    std::atomic<uint32_t> waiting;
    uint32_t slot;
    stretch *cur; // pinned while its records are handed out
    const uint8_t *cur_base;
    uint32_t pos, end;
    int64_t k;        // stretch the stream is in
    cursor at;        // where stretch k starts
    uint64_t passes_left;
    bool done, drained;
    bool failed; // done before the file's end: damage, a cut record or file
    std::atomic<uint32_t> state; // VEXMO_STREAM_*, for any thread
    std::atomic<uint64_t> truncated; // records handed out short of their frame
    scratch_record *scratch;
};

struct replay_device {
    savefile_bytes file;
    bool pcapng;
    cursor first;
    replay_stream *streams;
    uint32_t nr_streams;
    unsigned __int128 stream_magic; // for hash % nr_streams by multiplying
    stretch *cache;
    uint32_t nr_cache;
    uint64_t tick;
    std::mutex lock;
    std::condition_variable changed;
    void *arena; // indexes, scratch and rings: touched only as used
    size_t arena_size;
    // Bytes that may still be read: shrinks when the file is cut.
    std::atomic<uint64_t> end;
    std::atomic<uint64_t> walks;     // stretches indexed, for the tests of the cache
    std::atomic<bool> reported;
    alignas(64) std::atomic<uint32_t> drained_streams;
    char path[4096];
};

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

namespace {

// One line per device for whatever ended the replay before the file's end.
void report_end(replay_device *dev, walk w, const cursor *c, const char *why)
{
    if ((w != walk::cut && w != walk::damaged) || dev->reported.exchange(true, std::memory_order_relaxed))
        return;
    char msg[320];
    if (w == walk::cut)
        snprintf(msg, sizeof msg, "the record at byte %llu is cut short; the replay ends there",
                 static_cast<unsigned long long>(c->off));
    else
        snprintf(msg, sizeof msg, "%s; the replay ends there", why);
    savefile_cannot("replay", dev->path, msg);
}

// Moves the end down to now, after the device's one line: the end is
// stored under the lock once the line is out, so a stream that sees the
// new end (and reports itself failed) comes after the line.
void shrink_end(replay_device *dev, uint64_t now, bool over)
{
    std::lock_guard<std::mutex> g(dev->lock);
    if (now >= dev->end.load(std::memory_order_relaxed))
        return;
    if (!dev->reported.exchange(true, std::memory_order_relaxed)) {
        char msg[128];
        if (over)
            snprintf(msg, sizeof msg, "the file was written over while it was replayed");
        else
            snprintf(msg, sizeof msg, "the file was cut to %llu bytes while it was replayed",
                     static_cast<unsigned long long>(now));
        savefile_cannot("replay", dev->path, msg);
    }
    dev->end.store(now, std::memory_order_release);
}

// Where the replay may read up to now. A mapped file is looked at once per
// stretch, and before a burst that found it changed: a cut file ends the
// replay at its new size, one written over (its first record's header
// differs) at once, after one line.
uint64_t readable_end(replay_device *dev)
{
    uint64_t end = dev->end.load(std::memory_order_acquire);
    if (!dev->file.mapped)
        return end;
    bool over;
    uint64_t now = file_end_now(&dev->file, end, &over);
    if (over || now < end)
        shrink_end(dev, over ? 0 : now, over);
    return dev->end.load(std::memory_order_acquire);
}

// Bytes from the start of the stream's stretch that may still be handed
// out, for a burst of up to want records.
uint64_t stretch_room(replay_device *dev, const replay_stream *s, uint32_t want)
{
    // The file is looked at again when it may have changed under the
    // burst's last byte.
    const record &tail = s->cur->recs[std::min(s->end, s->pos + want) - 1];
    if (changed_below(&dev->file, s->cur_base + (tail.off & kOffMask) + tail.len - 1))
        readable_end(dev);
    // Acquire pairs with shrink_end's release: a stream stopped by the new
    // end comes after the line that said why.
    uint64_t end = dev->end.load(std::memory_order_acquire), start = s->cur->start.off;
    return end > start ? end - start : 0;
}

// Walks the stretch that starts at e->start into scratch; publishes where
// the next one starts. Returns the number of records.
uint32_t walk_stretch(replay_device *dev, stretch *e, scratch_record *scratch)
{
    dev->walks.fetch_add(1, std::memory_order_relaxed);
    uint64_t limit = readable_end(dev);
    uint64_t from = e->start.off;
    uint64_t to = limit - from < kStretch ? limit : from + kStretch;
    if (from < limit)
        populate(&dev->file, from, to);
    cursor c = e->start;
    char why[256] = "";
    uint32_t n = 0;
    walk w = walk::record;
    found r{};
    while (c.off < from + kStretch) {
        // Each header's place depends on the one before: fetch ahead of
        // the walk, or every record waits on memory.
        __builtin_prefetch(dev->file.base + c.off + kPrefetch);
        __builtin_prefetch(dev->file.base + c.off + kPrefetch + 64);
        w = next_record(dev->pcapng, dev->file.base, limit, &c, &r, why, sizeof why);
        if (w == walk::record)
            scratch[n++] = scratch_record{record{static_cast<uint32_t>(r.off - from) | r.meta << kOffBits, r.len}, 0};
        else if (w != walk::other)
            break;
    }
    // A file cut after the limit was taken reads as zeros past its end.
    uint64_t now = readable_end(dev);
    if (now < limit) {
        while (n > 0 && from + (scratch[n - 1].r.off & kOffMask) + scratch[n - 1].r.len > now)
            n--;
        w = walk::cut;
    }
    report_end(dev, w, &c, why);
    std::lock_guard<std::mutex> g(dev->lock);
    e->next = c;
    e->last = w != walk::record && w != walk::other;
    e->failed = e->last && (w != walk::eof || limit < dev->file.size);
    e->walked = true;
    return n;
}

// h % d, given m = 2^128 / d rounded up: exact for every 64-bit h, and a
// few multiplications instead of a division per packet.
inline uint32_t mod_by_magic(uint64_t h, unsigned __int128 m, uint32_t d)
{
    unsigned __int128 low = m * h;
    unsigned __int128 bottom = ((low & UINT64_MAX) * d) >> 64;
    unsigned __int128 top = (low >> 64) * d;
    return static_cast<uint32_t>((bottom + top) >> 64);
}

// Decides each record's stream once, and sorts the index by stream.
void classify(replay_device *dev, stretch *e, scratch_record *__restrict scratch, uint32_t n)
{
    uint32_t nr = dev->nr_streams;
    unsigned __int128 magic = dev->stream_magic;
    const uint8_t *base = dev->file.base + e->start.off;
    uint32_t *__restrict first = e->first; // counts, then bounds
    record *__restrict recs = e->recs;
    memset(first, 0, (nr + 1) * sizeof(uint32_t));
    for (uint32_t i = 0; i < n; ++i) {
        const record &r = scratch[i].r;
        uint32_t s = nr == 1 ? 0 : mod_by_magic(flow_hash(base + (r.off & kOffMask), r.len), magic, nr);
        scratch[i].stream = s;
        first[s + 1]++;
    }
    for (uint32_t s = 0; s < nr; ++s)
        first[s + 1] += first[s];
    for (uint32_t i = 0; i < n; ++i) // advances each stream's bound...
        recs[first[scratch[i].stream]++] = scratch[i].r;
    for (uint32_t s = nr; s > 0; --s) // ...which is then put back
        first[s] = first[s - 1];
    first[0] = 0;
}

void fill(replay_device *dev, stretch *e, scratch_record *scratch)
{
    uint32_t n = walk_stretch(dev, e, scratch);
    dev->changed.notify_all();
    classify(dev, e, scratch, n);
    {
        std::lock_guard<std::mutex> g(dev->lock);
        e->ready = true;
    }
    dev->changed.notify_all();
}

stretch *find(replay_device *dev, int64_t k)
{
    for (uint32_t i = 0; i < dev->nr_cache; ++i)
        if (dev->cache[i].key == k)
            return &dev->cache[i];
    return nullptr;
}

// The least recently used entry nobody holds, claimed for stretch k.
stretch *claim(replay_device *dev, int64_t k, const cursor *at)
{
    stretch *v = nullptr;
    for (uint32_t i = 0; i < dev->nr_cache; ++i) {
        stretch *e = &dev->cache[i];
        if (e->pins == 0 && (e->key < 0 || e->ready) && (!v || e->used < v->used))
            v = e;
    }
    if (v) {
        *v = stretch{k, 1, ++dev->tick, false, false, false, false, *at, *at, v->first, v->recs};
    }
    return v;
}

// While stretch k is being indexed by another stream: the first stretch
// after it that nobody indexes yet and whose start is known, claimed.
stretch *claim_ahead(replay_device *dev, stretch *e)
{
    for (uint32_t ahead = 0; ahead < dev->nr_cache / 2; ++ahead) {
        if (!e->walked || e->last)
            return nullptr;
        stretch *next = find(dev, e->key + 1);
        if (!next)
            return claim(dev, e->key + 1, &e->next);
        e = next;
    }
    return nullptr;
}

// Stretch s->k, indexed and pinned; null only when every cache entry is
// held, which the cache's size rules out.
stretch *get_stretch(replay_device *dev, replay_stream *s)
{
    std::unique_lock<std::mutex> g(dev->lock);
    for (;;) {
        stretch *e = find(dev, s->k);
        if (e && e->ready) {
            e->pins++;
            e->used = ++dev->tick;
            return e;
        }
        stretch *mine = e ? claim_ahead(dev, e) : claim(dev, s->k, &s->at);
        if (!mine && !e)
            return nullptr;
        if (!mine) {
            dev->changed.wait(g);
            continue;
        }
        g.unlock();
        fill(dev, mine, s->scratch);
        g.lock();
        if (mine->key == s->k) {
            mine->used = ++dev->tick;
            return mine; // pinned since its claim
        }
        mine->pins--; // indexed ahead for whoever comes to it
    }
}

void unpin(replay_device *dev, stretch *e)
{
    std::lock_guard<std::mutex> g(dev->lock);
    e->pins--;
}

// Moves the stream to its next stretch (or pass); false once it is done.
bool next_stretch(replay_device *dev, replay_stream *s)
{
    if (s->cur) {
        bool last = s->cur->last, failed = s->cur->failed;
        cursor next = s->cur->next;
        unpin(dev, s->cur);
        s->cur = nullptr;
        if (!last) {
            s->k++;
            s->at = next;
        } else if (s->passes_left > 0 && dev->end.load(std::memory_order_acquire) == dev->file.size) {
            s->passes_left--; // damage or a cut last record ends each pass alike
            s->k = 0;
            s->at = dev->first;
        } else {
            // Passes left over, when the file was cut since: a failure too.
            s->failed = failed || s->passes_left > 0;
            s->done = true;
            return false;
        }
    }
    stretch *e = get_stretch(dev, s);
    if (!e)
        return false;
    s->cur = e;
    s->cur_base = dev->file.base + e->start.off;
    s->pos = e->first[s - dev->streams];
    s->end = e->first[s - dev->streams + 1];
    return true;
}

// Drained, and the caller came back for more, so it is done with what it
// had. The last stream to get here sends the interrupt: fetch_add makes
// exactly one caller see the final count. That first empty poll returns at
// once; later ones wait, since nothing more will come.
int drained(replay_device *dev, replay_stream *s)
{
    if (s->drained) {
        poll(nullptr, 0, kIdleWaitMs);
        return 0;
    }
    s->drained = true;
    // Release: a reader that sees the state sees it after the line that
    // said why the replay ended (printed before the end moved or the last
    // stretch was published, which the stream saw with acquire).
    s->state.store(s->failed ? VEXMO_STREAM_FAILED : VEXMO_STREAM_ENDED, std::memory_order_release);
    if (dev->drained_streams.fetch_add(1, std::memory_order_acq_rel) + 1 == dev->nr_streams)
        kill(getpid(), SIGINT);
    return 0;
}

long futex(std::atomic<uint32_t> *word, int op, uint32_t val, const timespec *timeout)
{
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word");
    return syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), op, val, timeout, nullptr, 0);
}

// The stream's next slot is held: sleep until a free gives it back, up to
// kIdleWaitMs. The free looks at the flag with one plain load per call, no
// barrier, so a free racing with the poller's going to sleep may miss it:
// the first sleep is short, and the slot is looked at again after it.
void wait_for_slot(replay_stream *s)
{
    s->waiting.store(1, std::memory_order_seq_cst);
    for (long ms : {1L, kIdleWaitMs - 1L}) {
        if (s->held[s->slot].load(std::memory_order_acquire) == 0)
            break;
        timespec limit{0, ms * 1000000L};
        futex(&s->waiting, FUTEX_WAIT_PRIVATE, 1, &limit);
    }
    s->waiting.store(0, std::memory_order_relaxed);
}

// After frees of the stream's slots: wakes its poller if it sleeps for one.
void wake_poller(replay_stream *s)
{
    if (s->waiting.load(std::memory_order_relaxed) != 0) {
        s->waiting.store(0, std::memory_order_relaxed);
        futex(&s->waiting, FUTEX_WAKE_PRIVATE, 1, nullptr);
    }
}

// Where the stream must stop in its stretch, given the room the file has
// left: its end, but for a stretch the file was cut inside, where the
// stream's first record past the cut is (records of a stream are in file
// order). The records of a stretch end before the next one starts.
uint32_t stop_at(const replay_stream *s, uint64_t room)
{
    if (room >= s->cur->next.off - s->cur->start.off)
        return s->end;
    uint32_t stop = s->pos;
    while (stop < s->end && (s->cur->recs[stop].off & kOffMask) + uint64_t{s->cur->recs[stop].len} <= room)
        stop++;
    return stop;
}

// Hands out up to capacity records of stream s; fewer when the stream ends
// or its ring comes round to a buffer not yet given back.
uint32_t hand_out(replay_device *dev, replay_stream *s, vexmo_buff **out, uint32_t capacity)
{
    uint32_t n = 0;
    uint64_t short_ones = 0;
    while (n < capacity && !s->done) {
        if (s->pos == s->end) {
            if (!next_stretch(dev, s))
                break;
            continue;
        }
        // In locals: a store through the one-byte flags could alias the
        // stream's fields, which would then be read again for every record.
        const record *r = s->cur->recs;
        const uint8_t *base = s->cur_base;
        vexmo_buff *ring = s->ring;
        std::atomic<uint8_t> *held = s->held;
        uint32_t slot = s->slot, pos = s->pos, end = s->end;
        // Records past a cut end the stream; those before it stay whole.
        uint32_t stop = stop_at(s, stretch_room(dev, s, capacity - n));
        const record *from = r + pos, *to = r + std::min<uint32_t>(capacity - n, stop - pos) + pos;
        vexmo_buff **o = out + n;
        for (const record *rec = from; rec < to; ++rec, slot = (slot + 1) & (kRing - 1)) {
            // Acquire pairs with the free's release: whoever freed the slot
            // is done reading its descriptor.
            if (held[slot].load(std::memory_order_acquire) != 0) {
                to = rec;
                break;
            }
            vexmo_buff *b = &ring[slot];
            b->data = base + (rec->off & kOffMask);
            b->len = rec->len;
            b->block = rec->off; // the format and the short bit above the offset
            short_ones += rec->off >> 31;
            held[slot].store(1, std::memory_order_relaxed);
            *o++ = b;
        }
        n += static_cast<uint32_t>(to - from);
        pos += static_cast<uint32_t>(to - from);
        s->slot = slot;
        s->pos = pos;
        if (pos == stop && stop < end) {
            s->done = s->failed = true;
            break;
        }
        if (n < capacity && pos < end)
            break; // the ring is full of buffers not yet given back
    }
    // Written by this poller only: relaxed, for readers of the statistics.
    s->truncated.store(s->truncated.load(std::memory_order_relaxed) + short_ones, std::memory_order_relaxed);
    return n;
}

} // namespace

int replay_recv(replay_device *dev, uint32_t stream, vexmo_buff **out, uint32_t capacity)
{
    replay_stream *s = &dev->streams[stream];
    uint32_t n = hand_out(dev, s, out, capacity);
    if (n == 0 && !s->done) {
        wait_for_slot(s);
        n = hand_out(dev, s, out, capacity);
    }
    if (n == 0 && s->done)
        return drained(dev, s);
    return static_cast<int>(n);
}

void replay_free(replay_device *dev, vexmo_buff **bufs, uint32_t count)
{
    replay_stream *last = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        const vexmo_buff *b = bufs[i];
        // Null handles and handles of another device are ignored.
        if (b == nullptr || b->stream >= dev->nr_streams)
            continue;
        replay_stream *s = &dev->streams[b->stream];
        if (b < s->ring || b >= s->ring + kRing)
            continue;
        s->held[b - s->ring].store(0, std::memory_order_release);
        last = s;
    }
    // A call gives back one stream's burst; the poller of another stream
    // among mixed ones wakes by itself after its short first sleep.
    if (last != nullptr)
        wake_poller(last);
}

namespace {

// The file header, then the first record: refused here when damaged.
int check_start(replay_device *dev)
{
    savefile_start start;
    const char *verb;
    char why[256];
    if (check_savefile_start(dev->file.base, dev->file.size, &start, &verb, why, sizeof why) < 0)
        return savefile_cannot(verb, dev->path, why);
    dev->pcapng = start.pcapng;
    dev->first = start.stretch0;
    keep_head(&dev->file, start.head_at);
    return 0;
}

// Cache entries, streams with their rings and scratch, all in one region
// whose pages are touched only as they are used.
int set_up_streams(replay_device *dev, uint32_t nr, uint64_t loops)
{
    dev->nr_streams = nr;
    dev->stream_magic = nr ? ~static_cast<unsigned __int128>(0) / nr + 1 : 0;
    // Room for every stream's current stretch and one being indexed ahead
    // (2 nr + 2 would do), and for streams drifting a few MiB apart, as
    // threads descheduled for a while do, without indexing a stretch twice.
    dev->nr_cache = nr ? std::min(8 * nr + 8, kMaxCache) : 0;
    // Every piece starts on a cache line: sized as take() rounds it, or the
    // last stream's scratch would run past the region.
    auto line = [](size_t n) { return (n + 63) & ~size_t{63}; };
    size_t per_entry = line((nr + 1) * sizeof(uint32_t)) + line(kMaxRecords * sizeof(record));
    size_t per_stream = line(kRing * sizeof(vexmo_buff)) + line(kRing) + line(kMaxRecords * sizeof(scratch_record));
    dev->arena_size = line(nr * sizeof(replay_stream)) + line(dev->nr_cache * sizeof(stretch)) +
                      dev->nr_cache * per_entry + nr * per_stream + 64;
    void *p = mmap(nullptr, dev->arena_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return savefile_cannot("replay", dev->path, strerror(ENOMEM));
    dev->arena = p;
    auto *at = reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(p) + 63) & ~uintptr_t{63});
    auto take = [&at, &line](size_t n) { uint8_t *q = at; at += line(n); return q; };
    dev->streams = reinterpret_cast<replay_stream *>(take(nr * sizeof(replay_stream)));
    dev->cache = reinterpret_cast<stretch *>(take(dev->nr_cache * sizeof(stretch)));
    for (uint32_t i = 0; i < dev->nr_cache; ++i) {
        dev->cache[i].key = -1;
        dev->cache[i].first = reinterpret_cast<uint32_t *>(take((nr + 1) * sizeof(uint32_t)));
        dev->cache[i].recs = reinterpret_cast<record *>(take(kMaxRecords * sizeof(record)));
    }
    for (uint32_t i = 0; i < nr; ++i) {
        replay_stream *s = new (&dev->streams[i]) replay_stream{};
        s->ring = reinterpret_cast<vexmo_buff *>(take(kRing * sizeof(vexmo_buff)));
        s->held = reinterpret_cast<std::atomic<uint8_t> *>(take(kRing));
        s->scratch = reinterpret_cast<scratch_record *>(take(kMaxRecords * sizeof(scratch_record)));
        for (uint32_t j = 0; j < kRing; ++j) {
            s->ring[j].stream = i;
            s->ring[j].source = vexmo_source::replay;
        }
        s->at = dev->first;
        s->passes_left = loops - 1;
    }
    return 0;
}

} // namespace

replay_device *replay_open(const char *path, const replay_options *opts, uint32_t nr_rx)
{
    auto *dev = new (std::nothrow) replay_device{};
    if (dev == nullptr) {
        savefile_cannot("open", path, strerror(ENOMEM));
        return nullptr;
    }
    snprintf(dev->path, sizeof dev->path, "%s", path);
    if (load_savefile(dev->path, &dev->file) < 0 || check_start(dev) < 0) {
        replay_close(dev);
        return nullptr;
    }
    dev->end.store(dev->file.size, std::memory_order_relaxed);
    if (set_up_streams(dev, nr_rx, opts->loops) < 0) {
        replay_close(dev);
        return nullptr;
    }
    return dev;
}

uint64_t replay_walks(const replay_device *dev)
{
    return dev->walks.load(std::memory_order_relaxed);
}

void replay_arena(const replay_device *dev, const uint8_t **base, size_t *size)
{
    *base = dev->file.base;
    *size = dev->file.size;
}

void replay_close(replay_device *dev)
{
    release_savefile(&dev->file);
    if (dev->arena)
        munmap(dev->arena, dev->arena_size);
    delete dev;
}

int replay_stats(replay_device *dev, uint32_t stream, vexmo_stream_stats_t *stats)
{
    // Running until drained; then ended at the file's end (of the last
    // pass), or failed when the replay ended before it, after its line.
    // Nothing is dropped: a savefile waits for its reader.
    const replay_stream &s = dev->streams[stream];
    stats->state = s.state.load(std::memory_order_acquire);
    stats->dropped = 0;
    stats->truncated = s.truncated.load(std::memory_order_relaxed);
    return 0;
}

int replay_tstamp(const vexmo_buff *buf, int64_t *sec, uint32_t *nsec)
{
    return record_time(buf->block >> kOffBits & (kMaxFormats - 1), buf->data, sec, nsec);
}

uint32_t replay_wirelen(const vexmo_buff *buf)
{
    // A record that holds its whole frame is as long as it was on the wire.
    uint32_t meta = buf->block >> kOffBits;
    if (!(meta & kShortBit))
        return buf->len;
    uint32_t wire = record_wire(meta & (kMaxFormats - 1), buf->data);
    return wire > buf->len ? wire : buf->len;
}
