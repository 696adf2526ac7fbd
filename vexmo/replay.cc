/*
 * Savefile replay: the whole savefile is read once at open into one arena,
 * and every packet gets a descriptor. Descriptors are laid out stream by
 * stream in trace order, so a poll hands out consecutive descriptors and a
 * free only counts them: no copy, no allocation, no lock on the packet path.
 *
 * When every stream has been drained, SIGINT is sent to the process once,
 * as an operator would, so that a capture of a savefile ends by itself.
 */
#include <pcap/pcap.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"

struct alignas(64) replay_stream {
    vexmo_buff *bufs;     /* this stream's packets, in trace order */
    uint32_t count;
    uint32_t cursor;      /* next descriptor of the current pass */
    uint64_t passes_left; /* passes still to start after the current one */
    bool drained;         /* this stream was counted in drained_streams */
    /* Handed out and not yet freed. A buffer may be freed on another thread
     * than the one polling, hence atomic; on its own line so that freeing
     * does not bounce the poller's cursor. */
    alignas(64) std::atomic<uint64_t> held;
};

struct replay_device {
    uint8_t *arena; /* every packet's bytes, back to back; never freed */
    size_t arena_size;
    vexmo_buff *bufs;
    size_t nr_packets;
    replay_stream *streams;
    uint32_t nr_streams;
    alignas(64) std::atomic<uint32_t> drained_streams;
};

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);

namespace {

constexpr size_t load_buffer_size = size_t{1} << 20;

/* Growable byte and record arrays for the load; only used at open. */
struct load_record {
    uint64_t offset;
    uint32_t len;
    uint32_t stream;
};
struct load_state {
    uint32_t nr_streams;
    uint8_t *bytes;
    size_t size, cap;
    load_record *recs;
    size_t n, ncap;
};

int grow(void **p, size_t *cap, size_t need, size_t elem)
{
    if (need <= *cap)
        return 0;
    size_t ncap = *cap ? *cap : 1024;
    while (ncap < need)
        ncap *= 2;
    void *q = std::realloc(*p, ncap * elem);
    if (q == nullptr)
        return -1;
    *p = q;
    *cap = ncap;
    return 0;
}

int load_append(load_state *ls, const uint8_t *data, uint32_t len)
{
    if (grow(reinterpret_cast<void **>(&ls->bytes), &ls->cap, ls->size + len, 1) < 0)
        return -1;
    if (grow(reinterpret_cast<void **>(&ls->recs), &ls->ncap, ls->n + 1, sizeof(load_record)) < 0)
        return -1;
    if (len)
        std::memcpy(ls->bytes + ls->size, data, len);
    /* Hashed here, while the bytes are in cache: a second pass over a large
     * arena would wait on memory for every packet. */
    uint32_t stream = ls->nr_streams ? static_cast<uint32_t>(flow_hash(data, len) % ls->nr_streams) : 0;
    ls->recs[ls->n] = load_record{ls->size, len, stream};
    ls->size += len;
    ls->n++;
    return 0;
}

void load_release(load_state *ls)
{
    std::free(ls->bytes);
    std::free(ls->recs);
}

/* Reads every record of the open savefile f, which it closes; -1 after a
 * "Cannot" line. */
int load_records(FILE *f, const char *path, load_state *ls)
{
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t *p = pcap_fopen_offline_with_tstamp_precision(f, PCAP_TSTAMP_PRECISION_NANO, errbuf);
    if (p == nullptr) {
        std::fprintf(stderr, "Cannot open savefile %s: %s\n", path, errbuf);
        std::fclose(f);
        return -1;
    }
    int linktype = pcap_datalink(p);
    if (linktype != DLT_EN10MB) {
        const char *name = pcap_datalink_val_to_name(linktype);
        std::fprintf(stderr, "Cannot replay savefile %s: link type %s (%d) is not Ethernet\n", path,
                     name ? name : "unknown", linktype);
        pcap_close(p);
        return -1;
    }
    struct pcap_pkthdr *hdr;
    const u_char *data;
    int rc;
    while ((rc = pcap_next_ex(p, &hdr, &data)) == 1) {
        if (load_append(ls, data, hdr->caplen) < 0) {
            std::fprintf(stderr, "Cannot load savefile %s: %s\n", path, std::strerror(ENOMEM));
            pcap_close(p);
            return -1;
        }
    }
    if (rc != PCAP_ERROR_BREAK) {
        /* A cut or damaged record: refuse the file rather than replay a part. */
        std::fprintf(stderr, "Cannot read savefile %s: %s\n", path, pcap_geterr(p));
        pcap_close(p);
        return -1;
    }
    pcap_close(p);
    return 0;
}

/* Reads every record of the savefile; -1 after a "Cannot" line. */
int load_savefile(const char *path, load_state *ls)
{
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "Cannot open savefile %s: %s: %s\n", path, path, std::strerror(errno));
        return -1;
    }
    /* libpcap reads a record with two small freads: with stdio's 4 KiB
     * buffer a large trace costs a read system call per 4 KiB. (glibc ignores
     * the size when setvbuf is not given the buffer itself.) */
    char *buffer = static_cast<char *>(std::malloc(load_buffer_size));
    if (buffer != nullptr)
        std::setvbuf(f, buffer, _IOFBF, load_buffer_size);
    int rc = load_records(f, path, ls);
    std::free(buffer); /* the stream that used it is closed by now */
    return rc;
}

void *alloc_zeroed(size_t n, size_t size)
{
    return std::calloc(n ? n : 1, size);
}

} // namespace

replay_device *replay_open(const char *path, const replay_options *opts, uint32_t nr_rx)
{
    load_state ls{};
    ls.nr_streams = nr_rx;
    if (load_savefile(path, &ls) < 0) {
        load_release(&ls);
        return nullptr;
    }

    auto *dev = static_cast<replay_device *>(alloc_zeroed(1, sizeof(replay_device)));
    auto *streams = static_cast<replay_stream *>(
        std::aligned_alloc(alignof(replay_stream), (nr_rx ? nr_rx : 1) * sizeof(replay_stream)));
    auto *bufs = static_cast<vexmo_buff *>(alloc_zeroed(ls.n, sizeof(vexmo_buff)));
    auto *fill = static_cast<uint32_t *>(alloc_zeroed(nr_rx, sizeof(uint32_t)));
    uint8_t *arena = ls.bytes ? ls.bytes : static_cast<uint8_t *>(alloc_zeroed(1, 1));
    if (!dev || !streams || !bufs || !fill || !arena) {
        std::fprintf(stderr, "Cannot load savefile %s: %s\n", path, std::strerror(ENOMEM));
        std::free(dev);
        std::free(streams);
        std::free(bufs);
        std::free(fill);
        if (arena != ls.bytes)
            std::free(arena);
        load_release(&ls);
        return nullptr;
    }
    for (uint32_t s = 0; s < nr_rx; ++s)
        new (&streams[s]) replay_stream{};

    /* Counting sort by stream keeps trace order within each stream. */
    if (nr_rx > 0) {
        for (size_t i = 0; i < ls.n; ++i) {
            streams[ls.recs[i].stream].count++;
        }
        size_t start = 0;
        for (uint32_t s = 0; s < nr_rx; ++s) {
            streams[s].bufs = bufs + start;
            streams[s].passes_left = opts->loops - 1;
            start += streams[s].count;
        }
        for (size_t i = 0; i < ls.n; ++i) {
            uint32_t s = ls.recs[i].stream;
            vexmo_buff *b = &streams[s].bufs[fill[s]++];
            b->data = arena + ls.recs[i].offset;
            b->len = ls.recs[i].len;
            b->stream = s;
        }
    }
    std::free(fill);
    std::free(ls.recs);

    dev->arena = arena;
    dev->arena_size = ls.size;
    dev->bufs = bufs;
    dev->nr_packets = ls.n;
    dev->streams = streams;
    dev->nr_streams = nr_rx;
    dev->drained_streams.store(0, std::memory_order_relaxed);
    return dev;
}

int replay_recv(replay_device *dev, uint32_t stream, vexmo_buff **out, uint32_t capacity)
{
    replay_stream *s = &dev->streams[stream];
    if (s->cursor == s->count) {
        if (s->passes_left > 0 && s->count > 0) {
            /* The next pass hands out the same descriptors again: wait until
             * the caller gave back every one of the previous pass, so that no
             * buffer is held twice at once. Acquire pairs with the free. */
            if (s->held.load(std::memory_order_acquire) != 0)
                return 0;
            s->cursor = 0;
            s->passes_left--;
        } else {
            /* Drained, and the caller came back for more, so it is done with
             * what it had. The last stream to get here sends the interrupt:
             * fetch_add makes exactly one caller see the final count. */
            if (!s->drained) {
                s->drained = true;
                if (dev->drained_streams.fetch_add(1, std::memory_order_acq_rel) + 1 == dev->nr_streams)
                    kill(getpid(), SIGINT);
            }
            return 0;
        }
    }
    uint32_t n = s->count - s->cursor;
    if (n > capacity)
        n = capacity;
    vexmo_buff *src = s->bufs + s->cursor;
    for (uint32_t i = 0; i < n; ++i)
        out[i] = src + i;
    s->cursor += n;
    s->held.fetch_add(n, std::memory_order_relaxed);
    return static_cast<int>(n);
}

void replay_free(replay_device *dev, vexmo_buff **bufs, uint32_t count)
{
    /* One atomic per run of buffers from the same stream: a whole burst
     * normally is one run. */
    uint32_t run_stream = 0;
    uint64_t run = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const vexmo_buff *b = bufs[i];
        /* Null handles and handles of another device are ignored. */
        if (b == nullptr || b < dev->bufs || b >= dev->bufs + dev->nr_packets)
            continue;
        if (b->stream != run_stream && run) {
            dev->streams[run_stream].held.fetch_sub(run, std::memory_order_release);
            run = 0;
        }
        run_stream = b->stream;
        run++;
    }
    if (run)
        dev->streams[run_stream].held.fetch_sub(run, std::memory_order_release);
}

void replay_arena(const replay_device *dev, const uint8_t **base, size_t *size)
{
    *base = dev->arena;
    *size = dev->arena_size;
}

void replay_close(replay_device *dev)
{
    std::free(dev->arena);
    std::free(dev->bufs);
    std::free(dev->streams);
    std::free(dev);
}
