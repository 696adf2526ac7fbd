// Capture workers: set-up, the burst loop and the dump stream's flushes.
#include <fcntl.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trawlcap.h"

namespace {

// A dump stream with a write buffer large enough for every record, so that
// the worker decides where flushes happen (between records). Null with errno
// EINTR when a stop signal came while the open was blocked (a FIFO nobody
// reads): the set-up ends there.
FILE *open_dump_stream(FILE *stream, const char *name)
{
    FILE *f = stream;
    // Other signals (SIGUSR1) interrupt the open too; they must not end it.
    while (!f) {
        f = fopen(name, "wb");
        if (!f && (errno != EINTR || g_dump_instance->running.load(std::memory_order_relaxed) != 1))
            return nullptr;
    }
    // Lives as long as the stream, that is until the process ends.
    char *buffer = static_cast<char *>(malloc(kDumpBufferSize));
    if (!buffer || setvbuf(f, buffer, _IOFBF, kDumpBufferSize) != 0) {
        free(buffer);
        errno = ENOMEM;
        if (!stream)
            fclose(f);
        return nullptr;
    }
    return f;
}

// Where a failed flush may cut the file, taken before anything is written.
void note_file_start(dump_thread_ctx *ctx, int fd)
{
    struct stat st;
    ctx->keep_size = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
    int flags = fcntl(fd, F_GETFL);
    ctx->appends = flags >= 0 && (flags & O_APPEND) != 0;
}

// Where the next flush begins writing; -1 when a failure must not cut.
off_t flush_start(const dump_thread_ctx *ctx, int fd)
{
    if (ctx->keep_size < 0)
        return -1;
    if (!ctx->appends)
        return lseek(fd, 0, SEEK_CUR);
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_size : -1;
}

// A full disk or a size limit takes part of a flush and ends the file inside
// a record, which readers reject: cut it back to where the flush began. Only
// bytes of ours are cut: nothing below the size the file had before the run,
// and nothing when the file goes on beyond our offset (another writer's data
// follows ours; our cut record stays then).
void cut_failed_flush(const dump_thread_ctx *ctx, int fd, off_t begin)
{
    struct stat st;
    off_t ours = lseek(fd, 0, SEEK_CUR);
    if (begin < 0 || ours < 0 || fstat(fd, &st) != 0 || st.st_size != ours)
        return;
    if (begin < ctx->keep_size)
        begin = ctx->keep_size;
    if (begin < st.st_size && ftruncate(fd, begin) != 0) {
        // The file keeps its cut record; the write error is what is reported.
    }
}

// Relaxed load + store instead of fetch_add: the worker is the only writer,
// and on x86 this is a plain add, while other threads still read whole values.
inline void counter_add(std::atomic<uint64_t> &counter, uint64_t n)
{
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

}  // namespace

int dump_thread_flush(dump_thread_ctx *ctx)
{
    if (ctx->write_errno.load(std::memory_order_relaxed))
        return -1;
    FILE *f = pcap_dump_file(ctx->dumper);
    // One call per flush, that is per megabyte; none on a pipe.
    off_t begin = flush_start(ctx, fileno(f));
    errno = 0;
    if (fflush(f) == 0 && !ferror(f)) {
        ctx->buffered = 0;
        ctx->pending = 0;
        return 0;
    }
    ctx->write_errno.store(errno ? errno : EIO, std::memory_order_relaxed);
    // Drop what stdio still holds: the flush at exit would write it again
    // after the cut.
    __fpurge(f);
    cut_failed_flush(ctx, fileno(f), begin);
    // What this flush held may be partly in the file, but not as whole records
    // we can vouch for: they are not counted as captured.
    ctx->captured.store(ctx->captured.load(std::memory_order_relaxed) - ctx->pending,
                        std::memory_order_relaxed);
    ctx->pending = 0;
    ctx->buffered = 0;
    return -1;
}

namespace {

// Opens worker index's dump stream and dumper, and writes the file header at
// once: then a file whose header fits stays a valid savefile whatever
// happens to the records, and a stream that cannot be written shows as a
// write error from the start. 1 when a stop signal ended the open, -1 after
// the "Cannot" line.
int open_worker_dumper(dump_instance *instance, dump_thread_ctx *ctx, int index)
{
    const char *err = nullptr;
    char errbuf[kTextSize + PCAP_ERRBUF_SIZE];
    FILE *f;
    if (instance->dump_stream) {
        f = open_dump_stream(instance->dump_stream, nullptr);
    } else {
        int len = dump_thread_dumpfile(instance->dumpfile, index, ctx->dumpfile, sizeof(ctx->dumpfile));
        // A cut name is another file: refuse it instead of writing there.
        if (len >= static_cast<int>(sizeof(ctx->dumpfile))) {
            f = nullptr;
            errno = ENAMETOOLONG;
        } else {
            f = open_dump_stream(nullptr, ctx->dumpfile);
        }
    }
    if (!f && errno == EINTR)
        return 1;
    if (f) {
        note_file_start(ctx, fileno(f));
        ctx->dumper = pcap_dump_fopen(instance->pcap_handle, f);
        if (!ctx->dumper)
            err = pcap_geterr(instance->pcap_handle);
    } else {
        // The text libpcap's own open would leave in the handle's error buffer.
        snprintf(errbuf, sizeof(errbuf), "%s: %s", ctx->dumpfile, strerror(errno));
        err = errbuf;
    }
    if (!ctx->dumper)
        return cannot("open pcap dumper for thread %d, dumpfile is %s : %s.", index,
                      ctx->dumpfile, err);
    dump_thread_flush(ctx);
    return 0;
}

// Stop and report signals are blocked in the workers (they inherit the mask),
// so that they reach the main thread, whose blocked open they must interrupt.
int start_worker_thread(dump_thread_ctx *ctx)
{
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    int rc = pthread_create(&ctx->tid, nullptr, dump_capture_thread, ctx);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc;
}

}  // namespace

int dump_thread_init(dump_instance *instance, dump_thread_ctx *ctx, int index)
{
    ctx->started = 0;
    if (!(instance->thread_mask & (uint64_t{1} << (static_cast<uint32_t>(index) % 64))))
        return 0;
    int opened = open_worker_dumper(instance, ctx, index);
    if (opened != 0)
        return opened < 0 ? -1 : 0;

    if (pcap_compile(instance->pcap_handle, &ctx->bpf_prog, instance->bpf_rule, 1,
                     PCAP_NETMASK_UNKNOWN) < 0)
        return cannot("compile bpf rules for thread %d, bpf rule is %s: %s.", index,
                      instance->bpf_rule, pcap_geterr(instance->pcap_handle));

    ctx->stream_index = static_cast<uint32_t>(index);
    ctx->limit = instance->nr_threads ? instance->packet_count / instance->nr_threads : 0;
    // A positive count never means "no limit", also when it is smaller than
    // the number of workers.
    if (instance->packet_count != 0 && ctx->limit == 0)
        ctx->limit = 1;

    int rc = start_worker_thread(ctx);
    if (rc != 0)
        return cannot("create capture thread %d : %s", index, strerror(rc));
    ctx->started = 1;
    return 0;
}

namespace {

// Collects the buffers that pass the filter and that a record can hold.
uint32_t filter_burst(const dump_thread_ctx *ctx, vexmo_buff_t *const *bufs, int n,
                      const u_char **matched_data, uint32_t *matched_len)
{
    const bpf_insn *insns = ctx->bpf_prog.bf_insns;
    uint32_t nr_matched = 0;
    for (int i = 0; i < n; i++) {
        auto *data = static_cast<const u_char *>(vexmo_buff_mtod(bufs[i]));
        uint32_t len = vexmo_buff_datalen(bufs[i]);
        if (bpf_filter(insns, data, len, len) != 0 && len <= kMaxPacket) {
            matched_data[nr_matched] = data;
            matched_len[nr_matched] = len;
            nr_matched++;
        }
    }
    return nr_matched;
}

// Writes the matched packets, each with its own clock reading, and counts
// the records that stay in the stream.
void write_burst(dump_thread_ctx *ctx, const u_char *const *matched_data,
                 const uint32_t *matched_len, uint32_t nr_matched)
{
    FILE *stream = pcap_dump_file(ctx->dumper);
    pcap_pkthdr hdr{};
    uint32_t written = 0;
    // Holding the stream's lock over the burst makes the two stdio writes of
    // each record take it recursively, without atomics.
    flockfile(stream);
    for (uint32_t i = 0; i < nr_matched && ctx->write_errno.load(std::memory_order_relaxed) == 0; i++) {
        uint32_t len = matched_len[i];
        size_t record = 16 + size_t{len};
        if (ctx->buffered + record > kDumpBufferSize) {
            // The flush takes back what it could not write, so this burst's
            // records are counted before it.
            counter_add(ctx->captured, written);
            written = 0;
            if (dump_thread_flush(ctx) < 0)
                break;
        }
        gettimeofday(&hdr.ts, nullptr);
        hdr.caplen = len;
        hdr.len = len;
        pcap_dump(reinterpret_cast<u_char *>(ctx->dumper), &hdr, matched_data[i]);
        ctx->buffered += record;
        ctx->pending++;
        written++;
    }
    funlockfile(stream);
    counter_add(ctx->captured, written);
}

}  // namespace

void *dump_capture_thread(void *arg)
{
    auto *ctx = static_cast<dump_thread_ctx *>(arg);
    dump_instance *instance = g_dump_instance;
    // Relaxed throughout: `running` publishes no data, it only asks to stop.
    if (instance->running.load(std::memory_order_relaxed) != 1)
        return nullptr;

    vexmo_instance_t *io = instance->io_instance;
    vexmo_buff_t *bufs[kBurst];
    // What the write loop needs of each matching buffer, taken once.
    const u_char *matched_data[kBurst];
    uint32_t matched_len[kBurst];

    for (;;) {
        if (ctx->limit != 0 && ctx->captured.load(std::memory_order_relaxed) >= ctx->limit)
            break;
        int n = vexmo_recv_all_burst(io, ctx->stream_index, bufs, kBurst);
        if (n < 0)
            n = 0;
        if (n > static_cast<int>(kBurst))
            n = kBurst;
        if (n > 0) {
            uint32_t nr_matched = filter_burst(ctx, bufs, n, matched_data, matched_len);
            write_burst(ctx, matched_data, matched_len, nr_matched);
            counter_add(ctx->received, static_cast<uint64_t>(n));
            vexmo_buff_free(io, bufs, static_cast<uint32_t>(n), -1, -1);
        }
        if (instance->running.load(std::memory_order_relaxed) != 1)
            break;
    }
    return nullptr;
}
