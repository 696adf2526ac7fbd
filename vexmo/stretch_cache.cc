// The replay's stretch cache (replay.h): a stretch walked, its records
// given their streams, kept for every stream that comes to it; and the
// device's one line when the walk or a look at the file ends the replay
// early (the readable end itself is the file's: mapping.h).
//
// A stream that finds its stretch being indexed by another indexes the one
// after it meanwhile, so the work of indexing is shared out and each packet
// is hashed once. Record boundaries are only known by walking, so each
// entry also carries where the next stretch starts, published before the
// hashing.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "replay.h"

namespace {

constexpr uint64_t kPrefetch = 4096;

// One line per device for whatever ended the replay before the file's end.
// Relaxed: the flag only decides who prints; readers of the end are
// ordered by its own release.
void report_end(replay_device *dev, walk w, const cursor *c, const char *why)
{
    if ((w != walk::cut && w != walk::damaged) ||
        dev->reported.exchange(true, std::memory_order_relaxed))
        return;
    char msg[320];
    if (w == walk::cut)
        snprintf(msg, sizeof msg, "the record at byte %llu is cut short; the replay ends there",
                 static_cast<unsigned long long>(c->off));
    else
        snprintf(msg, sizeof msg, "%s; the replay ends there", why);
    savefile_cannot("replay", dev->path, msg);
}

// Moves the readable end down to now, after the device's one line: under
// the lock, so that of two streams that saw the cut one says it, and the
// end moves once the line is out.
void shrink_readable(replay_device *dev, uint64_t now, bool over) EXCLUDES(dev->lock)
{
    mutex_lock held(&dev->lock);
    if (now >= readable_end(&dev->file))
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
    lower_readable_end(&dev->file, now);
}

// The records from c to the end of the stretch that starts at from (or to
// where the walk stops, in *w), into scratch; their number.
uint32_t walk_records(replay_device *dev, uint64_t from, uint64_t limit, cursor *c,
                      scratch_record *scratch, walk *w, char *why, size_t why_size)
{
    const uint8_t *base = dev->file.base;
    uint32_t count = 0;
    found r{};
    while (c->off < from + kStretch) {
        // Each header's place depends on the one before: fetch ahead of
        // the walk, or every record waits on memory.
        __builtin_prefetch(base + c->off + kPrefetch);
        __builtin_prefetch(base + c->off + kPrefetch + 64);
        *w = next_record(dev->pcapng, base, limit, &dev->formats, c, &r, why, why_size);
        if (*w == walk::record) {
            record rec{static_cast<uint32_t>(r.off - from), r.format, r.truncated, r.len};
            scratch[count++] = scratch_record{rec, 0};
        } else if (*w != walk::other) {
            break;
        }
    }
    return count;
}

// What the walk found, for the streams: where the next stretch starts, and
// whether this one is the last of the pass (and ends it early).
void publish_walk(replay_device *dev, int entry, const cursor *next, walk w, uint64_t limit)
    EXCLUDES(dev->lock)
{
    mutex_lock held(&dev->lock);
    stretch_state &e = dev->entries[entry];
    e.next = *next;
    e.last = w != walk::record && w != walk::other;
    e.failed = e.last && (w != walk::eof || limit < dev->file.size);
    e.walked = true;
}

// Walks the stretch of the entry into scratch; publishes where the next one
// starts. Returns the number of records.
uint32_t walk_stretch(replay_device *dev, int entry, scratch_record *scratch) EXCLUDES(dev->lock)
{
    dev->walks.fetch_add(1, std::memory_order_relaxed); // a count for tests, ordering nothing
    uint64_t limit = readable_now(dev);
    cursor c = dev->indexes[entry].start;
    uint64_t from = c.off;
    if (from < limit)
        populate(&dev->file, from, limit - from < kStretch ? limit : from + kStretch);
    char why[256] = "";
    walk w = walk::record;
    uint32_t n = walk_records(dev, from, limit, &c, scratch, &w, why, sizeof why);
    // A file cut after the limit was taken reads as zeros past its end.
    uint64_t now = readable_now(dev);
    if (now < limit) {
        while (n > 0 && from + scratch[n - 1].r.off + scratch[n - 1].r.len > now)
            n--;
        w = walk::cut;
    }
    report_end(dev, w, &c, why);
    publish_walk(dev, entry, &c, w, limit);
    return n;
}

// Decides each record's stream once, and sorts the index by stream.
void classify(const replay_device *dev, stretch_index *index, scratch_record *__restrict scratch,
              uint32_t n)
{
    uint32_t nr = dev->nr_streams;
    unsigned __int128 magic = dev->stream_magic;
    const uint8_t *base = dev->file.base + index->start.off;
    uint32_t *__restrict bounds = index->bounds; // counts, then bounds
    record *__restrict recs = index->recs;
    memset(bounds, 0, (nr + 1) * sizeof(uint32_t));
    bool truncated = false;
    for (uint32_t i = 0; i < n; ++i) {
        const record &r = scratch[i].r;
        uint32_t s = nr == 1 ? 0 : mod_by_magic(flow_hash(base + r.off, r.len), magic, nr);
        scratch[i].stream = s;
        bounds[s + 1]++;
        truncated |= r.truncated;
    }
    index->truncated = truncated;
    for (uint32_t s = 0; s < nr; ++s)
        bounds[s + 1] += bounds[s];
    for (uint32_t i = 0; i < n; ++i) // advances each stream's bound...
        recs[bounds[scratch[i].stream]++] = scratch[i].r;
    for (uint32_t s = nr; s > 0; --s) // ...which is then put back
        bounds[s] = bounds[s - 1];
    bounds[0] = 0;
}

// Indexes the entry claimed by the caller, waking the streams waiting for
// it once it is walked (they may index the stretch after it) and ready.
void fill(replay_device *dev, int entry, scratch_record *scratch) EXCLUDES(dev->lock)
{
    uint32_t n = walk_stretch(dev, entry, scratch);
    dev->lock.notify_all();
    classify(dev, &dev->indexes[entry], scratch, n);
    {
        mutex_lock held(&dev->lock);
        dev->entries[entry].ready = true;
    }
    dev->lock.notify_all();
}

int find(replay_device *dev, int64_t stretch_no) REQUIRES(dev->lock)
{
    for (uint32_t i = 0; i < dev->nr_cache; ++i)
        if (dev->entries[i].stretch_no == stretch_no)
            return static_cast<int>(i);
    return -1;
}

// The least recently used entry nobody holds, claimed (pinned) for the
// stretch that starts at start; -1 for none.
int claim(replay_device *dev, int64_t stretch_no, const cursor *start) REQUIRES(dev->lock)
{
    int victim = -1;
    for (uint32_t i = 0; i < dev->nr_cache; ++i) {
        const stretch_state &e = dev->entries[i];
        if (e.pins == 0 && (e.stretch_no < 0 || e.ready) &&
            (victim < 0 || e.used < dev->entries[victim].used))
            victim = static_cast<int>(i);
    }
    if (victim < 0)
        return -1;
    cursor copy = *start; // start may be the victim's own next
    dev->entries[victim] =
        stretch_state{stretch_no, 1, ++dev->tick, false, false, false, false, copy};
    dev->indexes[victim].start = copy;
    return victim;
}

// While the entry is being indexed by another stream: the first stretch
// after it that nobody indexes yet and whose start is known, claimed.
int claim_ahead(replay_device *dev, int entry) REQUIRES(dev->lock)
{
    for (uint32_t ahead = 0; ahead < dev->nr_cache / 2; ++ahead) {
        const stretch_state &e = dev->entries[entry];
        if (!e.walked || e.last)
            return -1;
        int next = find(dev, e.stretch_no + 1);
        if (next < 0)
            return claim(dev, e.stretch_no + 1, &e.next);
        entry = next;
    }
    return -1;
}

// What pin_stretch found under the lock: the stream's entry ready and
// pinned, an entry claimed for the stream to fill, or every entry held.
enum class lookup { ready, fill, full };

// The stream's entry, pinned, when it is ready. Otherwise an entry to
// fill, claimed: the stream's own, or while another stream fills that, one
// ahead of it; with nothing to fill meanwhile, waits for a change.
lookup look_up(replay_device *dev, const replay_stream *s, int *entry) REQUIRES(dev->lock)
{
    for (;;) {
        int own = find(dev, s->stretch_no);
        if (own >= 0 && dev->entries[own].ready) {
            dev->entries[own].pins++;
            dev->entries[own].used = ++dev->tick;
            *entry = own;
            return lookup::ready;
        }
        *entry = own >= 0 ? claim_ahead(dev, own) : claim(dev, s->stretch_no, &s->start);
        if (*entry >= 0)
            return lookup::fill;
        if (own < 0)
            return lookup::full;
        dev->lock.wait();
    }
}

// The stream's view of the entry it has pinned.
void view(replay_device *dev, replay_stream *s, int entry) REQUIRES(dev->lock)
{
    const stretch_state &e = dev->entries[entry];
    const stretch_index &index = dev->indexes[entry];
    s->cur = stretch_view{index.recs,      dev->file.base + index.start.off,
                          index.start.off, entry,
                          e.last,          e.failed,
                          index.truncated, e.next};
    uint32_t stream = static_cast<uint32_t>(s - dev->streams);
    s->pos = index.bounds[stream];
    s->stop = index.bounds[stream + 1];
}

} // namespace

int pin_stretch(replay_device *dev, replay_stream *s) EXCLUDES(dev->lock)
{
    int filled = -1; // the entry this stream indexed last round, still pinned
    for (;;) {
        int entry;
        {
            mutex_lock held(&dev->lock);
            if (filled >= 0 && dev->entries[filled].stretch_no == s->stretch_no) {
                dev->entries[filled].used = ++dev->tick;
                view(dev, s, filled);
                return 0;
            }
            if (filled >= 0)
                dev->entries[filled].pins--; // indexed ahead for whoever comes to it
            lookup found = look_up(dev, s, &entry);
            if (found == lookup::ready)
                view(dev, s, entry);
            if (found != lookup::fill)
                return found == lookup::ready ? 0 : -1;
        }
        fill(dev, entry, s->scratch);
        filled = entry;
    }
}

void unpin_stretch(replay_device *dev, stretch_view *cur) EXCLUDES(dev->lock)
{
    mutex_lock held(&dev->lock);
    dev->entries[cur->entry].pins--;
    cur->entry = -1;
}

// A mapped file is looked at once per stretch, and before a burst that
// found it changed: a cut file ends the replay at its new size, one written
// over (its first record's header differs) at once, after one line.
uint64_t readable_now(replay_device *dev) EXCLUDES(dev->lock)
{
    bool over;
    uint64_t now = end_after_look(&dev->file, &over);
    if (now < readable_end(&dev->file))
        shrink_readable(dev, now, over);
    return readable_end(&dev->file);
}

// Built before the device points at them, so nobody else can see them yet.
void set_up_cache(replay_device *dev, uint8_t **at)
{
    auto *entries =
        reinterpret_cast<stretch_state *>(take_piece(at, dev->nr_cache * sizeof(stretch_state)));
    auto *indexes =
        reinterpret_cast<stretch_index *>(take_piece(at, dev->nr_cache * sizeof(stretch_index)));
    for (uint32_t i = 0; i < dev->nr_cache; ++i) {
        new (&entries[i]) stretch_state{-1, 0, 0, false, false, false, false, {}};
        auto *bounds =
            reinterpret_cast<uint32_t *>(take_piece(at, (dev->nr_streams + 1) * sizeof(uint32_t)));
        auto *recs = reinterpret_cast<record *>(take_piece(at, kMaxRecords * sizeof(record)));
        new (&indexes[i]) stretch_index{{}, bounds, recs, false};
    }
    dev->entries = entries;
    dev->indexes = indexes;
}
