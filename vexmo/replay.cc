// Savefile replay, read in place as the streams are polled: the streams and
// the replay calls of internal.h.
//
// The savefile's bytes come from mapping.cc (mapped, so buffers point into
// the file; or read whole when it cannot be mapped), its records from
// savefile.cc's walk, each stretch's records by stream from the cache of
// stretch_cache.cc. A stream hands out its records of the stretch it holds
// from a ring of descriptors; a slot is reused once its buffer is freed. A
// poll with nothing to hand out waits, as a live one does.
//
// A cut file: the streams end at the file's new end, and no record at or
// past it is handed out once the device has seen the cut. It looks before
// each burst (one read of the page after the one that holds the burst's
// last byte, which faults when the file no longer reaches it, or at the
// file's last page its size; and one compare of the first record's header
// with what the open read, which differs when the file was written over, as
// `cp` onto it does) and at each stretch. What it cannot prevent is the
// shared mapping itself: a record handed out before the cut reads as zeros
// under its holder from then on, or as what was written over it.
//
// Time stamps and wire lengths cost nothing until asked for: each index
// entry carries its record's time format and whether it is short of its
// frame, the hand-out copies that word into the descriptor, and the
// optional calls read the record's header in the file, just before the data.
//
// Damage: the open checks the file header and the first record (pcapng: the
// blocks up to the first packet) and refuses with one "Cannot" line. Damage
// found later, a last record cut short, or a file cut during the replay end
// every stream there as the end of the file would, after one "Cannot" line
// per device; the whole records before it are replayed.
//
// When every stream has been drained, SIGINT is sent to the process once,
// as an operator would, so that a capture of a savefile ends by itself.
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "replay.h"

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint8_t>) == 1, "a slot flag is a byte");

namespace {

// Cache entries at most, whatever the number of streams.
constexpr uint32_t kMaxCache = 256;
// A poll with nothing to hand out (a drained stream, a ring full of
// buffers not given back) waits this long at most, as a live one does, so
// that a host polling an idle stream in a loop costs no CPU.
constexpr int kIdleWaitMs = 100;

// Bytes from the start of the stream's stretch that may still be handed
// out, for a burst of up to want records: the file is looked at again
// first when it may have changed under the burst's last byte.
uint64_t stretch_room(replay_device *dev, const replay_stream *s, uint32_t want)
{
    const record &tail = s->cur.recs[std::min(s->stop, s->pos + want) - 1];
    if (changed_below(&dev->file, s->cur.base + tail.off + tail.len - 1))
        readable_now(dev);
    uint64_t readable = readable_end(&dev->file);
    return readable > s->cur.start_off ? readable - s->cur.start_off : 0;
}

// Where the stream can reach in its stretch, given the room the file has
// left: its stop, but for a stretch the file was cut inside, where the
// stream's first record past the cut is (records of a stream are in file
// order). The records of a stretch end before the next one starts.
uint32_t reachable(const replay_stream *s, uint64_t room)
{
    if (room >= s->cur.next.off - s->cur.start_off)
        return s->stop;
    uint32_t reach = s->pos;
    while (reach < s->stop && s->cur.recs[reach].off + uint64_t{s->cur.recs[reach].len} <= room)
        reach++;
    return reach;
}

// Hands out up to n of the stream's next records through its next ring
// slots, which do not wrap, stopping at the first slot still held; returns
// how many it handed out, and adds those short of their frame to
// *short_ones.
uint32_t fill_run(const replay_device *dev, replay_stream *s, vexmo_buff **out, uint32_t n,
                  uint64_t *short_ones)
{
    // In locals: a store through the one-byte flags could alias the
    // stream's fields, which would then be read again for every record.
    const record *rec = s->cur.recs + s->pos;
    const uint8_t *base = s->cur.base;
    const time_format *formats = dev->formats.entry;
    vexmo_buff *b = s->ring + s->slot;
    std::atomic<uint8_t> *held = s->held + s->slot;
    uint32_t i = 0, shorts = 0;
    for (; i < n; ++i) {
        // Acquire pairs with the free's release: whoever freed the slot is
        // done reading its descriptor.
        if (held[i].load(std::memory_order_acquire) != 0)
            break;
        b[i].data = base + rec[i].off;
        b[i].len = rec[i].len;
        b[i].format = formats + rec[i].format;
        // Relaxed: the handle reaches whoever frees it through the
        // caller, whose own hand-over orders it.
        held[i].store(1, std::memory_order_relaxed);
        out[i] = &b[i];
    }
    // Apart, and only where the walk saw one: most traces have none.
    for (uint32_t j = 0; s->cur.truncated && j < i; ++j)
        shorts += rec[j].truncated;
    s->slot = (s->slot + i) & (kRing - 1);
    s->pos += i;
    *short_ones += shorts;
    return i;
}

// Hands out up to want of the stream's next records through its next ring
// slots, up to the ring's end, then from its start, stopping at the first
// slot still held; returns how many it handed out.
uint32_t fill_burst(const replay_device *dev, replay_stream *s, vexmo_buff **out, uint32_t want,
                    uint64_t *short_ones)
{
    uint32_t handed = 0;
    while (handed < want) {
        uint32_t run = std::min(want - handed, kRing - s->slot);
        uint32_t got = fill_run(dev, s, out + handed, run, short_ones);
        handed += got;
        if (got < run)
            break; // a slot still held
    }
    return handed;
}

// Moves the stream to its next stretch (or pass); false once it is done,
// or when no cache entry is free (the cache's size rules that out).
bool next_stretch(replay_device *dev, replay_stream *s)
{
    if (s->cur.entry >= 0) {
        unpin_stretch(dev, &s->cur);
        if (!s->cur.last) {
            s->stretch_no++;
            s->start = s->cur.next;
        } else if (s->passes_left > 0 && whole_readable(&dev->file)) {
            s->passes_left--; // damage or a cut last record ends each pass alike
            s->stretch_no = 0;
            s->start = dev->stretch0;
        } else {
            // Passes left over, when the file was cut since: a failure too.
            s->failed = s->cur.failed || s->passes_left > 0;
            s->done = true;
            return false;
        }
    }
    return pin_stretch(dev, s) == 0;
}

// Hands out up to capacity records of stream s; fewer when the stream ends
// or its ring comes round to a buffer not yet given back.
uint32_t hand_out(replay_device *dev, replay_stream *s, vexmo_buff **out, uint32_t capacity)
{
    uint32_t n = 0;
    uint64_t short_ones = 0;
    while (n < capacity && !s->done) {
        if (s->pos == s->stop) {
            if (!next_stretch(dev, s))
                break;
            continue;
        }
        // Records past a cut end the stream; those before it stay whole.
        // What this round wants is counted once, here: what fits in out,
        // up to where the stream can reach.
        uint32_t reach = reachable(s, stretch_room(dev, s, capacity - n));
        uint32_t want = std::min(capacity - n, reach - s->pos);
        uint32_t count = fill_burst(dev, s, out + n, want, &short_ones);
        n += count;
        if (count < want)
            break; // a slot still held: the ring came round to a buffer not yet given back
        if (s->pos == reach && reach < s->stop) { // all it wanted, up to a cut inside the stretch
            s->done = s->failed = true;
            break;
        }
    }
    // Written by this poller only: relaxed, for readers of the statistics.
    s->truncated.store(s->truncated.load(std::memory_order_relaxed) + short_ones,
                       std::memory_order_relaxed);
    return n;
}

long futex(std::atomic<uint32_t> *word, int op, uint32_t val, const timespec *timeout)
{
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word");
    return syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), op, val, timeout, nullptr, 0);
}

// Drained, and the caller came back for more, so it is done with what it
// had. The last stream to get here sends the interrupt: fetch_add makes
// exactly one caller see the final count. That first empty poll returns at
// once; later ones wait, since nothing more will come: 1 ms, then twice as
// long each time up to kIdleWaitMs, so that a host which stops on the
// interrupt ends within a few milliseconds, and one which does not wakes
// ten times a second.
void note_drained(replay_device *dev, replay_stream *s)
{
    if (s->drained) {
        int ms = s->idle_polls < 7 ? 1 << s->idle_polls++ : kIdleWaitMs;
        ms = ms < kIdleWaitMs ? ms : kIdleWaitMs;
        // The last stream to drain wakes the others, which start their
        // short waits over: the host is stopping now, not later.
        if (dev->drained_streams.load(std::memory_order_acquire) < dev->nr_streams) {
            timespec timeout{ms / 1000, (ms % 1000) * 1000000L};
            futex(&dev->drained_streams, FUTEX_WAIT_PRIVATE,
                  dev->drained_streams.load(std::memory_order_relaxed), &timeout);
            if (dev->drained_streams.load(std::memory_order_acquire) == dev->nr_streams)
                s->idle_polls = 0;
        } else {
            poll(nullptr, 0, ms);
        }
        return;
    }
    s->drained = true;
    // Release: a reader that sees the state sees it after the line that
    // said why the replay ended (printed before the end moved or the last
    // stretch was published, which the stream saw with acquire).
    s->state.store(s->failed ? VEXMO_STREAM_FAILED : VEXMO_STREAM_ENDED, std::memory_order_release);
    if (dev->drained_streams.fetch_add(1, std::memory_order_acq_rel) + 1 == dev->nr_streams) {
        kill(getpid(), SIGINT);
        futex(&dev->drained_streams, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr);
    }
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
        timespec timeout{0, ms * 1000000L};
        futex(&s->waiting, FUTEX_WAIT_PRIVATE, 1, &timeout);
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
        note_drained(dev, s);
    return static_cast<int>(n);
}

void replay_free(replay_device *dev, vexmo_buff **bufs, uint32_t count)
{
    replay_stream *freed = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        const vexmo_buff *b = bufs[i];
        // Null handles and handles of another device are ignored.
        if (b == nullptr || b->stream >= dev->nr_streams)
            continue;
        replay_stream *s = &dev->streams[b->stream];
        if (b < s->ring || b >= s->ring + kRing)
            continue;
        s->held[b - s->ring].store(0, std::memory_order_release);
        freed = s;
    }
    // A call gives back one stream's burst; the poller of another stream
    // among mixed ones wakes by itself after its short first sleep.
    if (freed != nullptr)
        wake_poller(freed);
}

namespace {

// The region's size, every piece rounded as take_piece() rounds it.
size_t arena_bytes(uint32_t nr, uint32_t nr_cache)
{
    size_t per_entry =
        piece_size((nr + 1) * sizeof(uint32_t)) + piece_size(kMaxRecords * sizeof(record));
    size_t per_stream = piece_size(kRing * sizeof(vexmo_buff)) + piece_size(kRing) +
                        piece_size(kMaxRecords * sizeof(scratch_record));
    return piece_size(nr * sizeof(replay_stream)) + piece_size(nr_cache * sizeof(stretch_state)) +
           piece_size(nr_cache * sizeof(stretch_index)) + nr_cache * per_entry + nr * per_stream +
           64;
}

void set_up_stream(replay_device *dev, uint32_t i, uint8_t **at, uint64_t loops)
{
    replay_stream *s = new (&dev->streams[i]) replay_stream{};
    s->ring = reinterpret_cast<vexmo_buff *>(take_piece(at, kRing * sizeof(vexmo_buff)));
    uint8_t *flags = take_piece(at, kRing);
    for (uint32_t j = 0; j < kRing; ++j)
        new (flags + j) std::atomic<uint8_t>(0);
    s->held = reinterpret_cast<std::atomic<uint8_t> *>(flags);
    s->scratch =
        reinterpret_cast<scratch_record *>(take_piece(at, kMaxRecords * sizeof(scratch_record)));
    for (uint32_t j = 0; j < kRing; ++j) {
        s->ring[j].stream = static_cast<uint16_t>(i);
        s->ring[j].source = vexmo_source::replay;
    }
    s->cur.entry = -1;
    s->start = dev->stretch0;
    s->passes_left = loops - 1;
}

// Cache entries, streams with their rings and scratch, all in one region
// whose pages are touched only as they are used.
int set_up_streams(replay_device *dev, uint32_t nr, uint64_t loops)
{
    dev->nr_streams = nr;
    dev->stream_magic = stream_magic(nr);
    // Room for every stream's current stretch and one being indexed ahead
    // (2 nr + 2 would do), and for streams drifting a few MiB apart, as
    // threads descheduled for a while do, without indexing a stretch twice.
    dev->nr_cache = nr ? std::min(8 * nr + 8, kMaxCache) : 0;
    dev->arena_size = arena_bytes(nr, dev->nr_cache);
    void *p =
        mmap(nullptr, dev->arena_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return savefile_cannot_errno("replay", dev->path, ENOMEM);
    dev->arena = p;
    auto *at = reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(p) + 63) & ~uintptr_t{63});
    dev->streams = reinterpret_cast<replay_stream *>(take_piece(&at, nr * sizeof(replay_stream)));
    set_up_cache(dev, &at);
    for (uint32_t i = 0; i < nr; ++i)
        set_up_stream(dev, i, &at, loops);
    return 0;
}

// The file header, then the first record: refused here when damaged.
int check_start(replay_device *dev)
{
    savefile_start start;
    const char *verb;
    char why[256];
    if (check_savefile_start(dev->file.base, dev->file.size, &dev->formats, &start, &verb, why,
                             sizeof why) < 0)
        return savefile_cannot(verb, dev->path, why);
    dev->pcapng = start.pcapng;
    dev->stretch0 = start.stretch0;
    keep_head(&dev->file, start.head_at);
    return 0;
}

} // namespace

replay_device *replay_open(const char *path, const replay_options *opts, uint32_t nr_rx)
{
    auto *dev = vexmo_new_record<replay_device>();
    if (dev == nullptr) {
        savefile_cannot_errno("open", path, ENOMEM);
        return nullptr;
    }
    snprintf(dev->path, sizeof dev->path, "%s", path);
    init_time_formats(&dev->formats);
    if (load_savefile(dev->path, &dev->file) < 0 || check_start(dev) < 0) {
        replay_close(dev);
        return nullptr;
    }
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

void replay_file_bytes(const replay_device *dev, const uint8_t **base, size_t *size)
{
    *base = dev->file.base;
    *size = dev->file.size;
}

void replay_close(replay_device *dev)
{
    release_savefile(&dev->file);
    if (dev->arena)
        munmap(dev->arena, dev->arena_size);
    dev->~replay_device();
    free(dev);
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
    stats->settle_ms = 0; // a record is there to take as soon as it is asked for
    return 0;
}

int replay_tstamp(const vexmo_buff *buf, int64_t *sec, uint32_t *nsec)
{
    return record_time(*buf->format, buf->data, sec, nsec);
}

uint32_t replay_wirelen(const vexmo_buff *buf)
{
    // The header's original length; a record that says less than it holds
    // is as long as it holds.
    uint32_t wire = record_wire(*buf->format, buf->data);
    return wire > buf->len ? wire : buf->len;
}
