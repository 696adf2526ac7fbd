// Capture workers: set-up, the burst loop and the dump stream's flushes.
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
// the worker decides where flushes happen (between records).
FILE *open_dump_stream(FILE *stream, const char *name)
{
    FILE *f = stream;
    // The open of a FIFO or of a file on a slow file system can block, and an
    // interrupt during set-up must not end the set-up.
    while (!f) {
        f = fopen(name, "wb");
        if (!f && errno != EINTR)
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
    // Where the good part of a file ends: every earlier flush wrote whole
    // records. One call per flush, that is per megabyte; -1 on a pipe.
    off_t good_end = lseek(fileno(f), 0, SEEK_CUR);
    errno = 0;
    if (fflush(f) == 0 && !ferror(f)) {
        ctx->buffered = 0;
        ctx->pending = 0;
        return 0;
    }
    ctx->write_errno.store(errno ? errno : EIO, std::memory_order_relaxed);
    // A full disk takes part of a flush and ends the file inside a record,
    // which readers reject. Cut a regular file back to its last whole record,
    // and drop what stdio still holds: the flush at exit would write it again
    // after the cut.
    __fpurge(f);
    struct stat st;
    if (good_end >= 0 && fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) &&
        ftruncate(fileno(f), good_end) != 0) {
        // The file keeps its cut record; the write error is what is reported.
    }
    // What this flush held may be partly in the file, but not as whole records
    // we can vouch for: they are not counted as captured.
    ctx->captured.store(ctx->captured.load(std::memory_order_relaxed) - ctx->pending,
                        std::memory_order_relaxed);
    ctx->pending = 0;
    ctx->buffered = 0;
    return -1;
}

int dump_thread_init(dump_instance *instance, dump_thread_ctx *ctx, int index)
{
    if (!(instance->thread_mask & (uint64_t{1} << (static_cast<uint32_t>(index) % 64)))) {
        ctx->started = 0;
        return 0;
    }

    const char *err = nullptr;
    char errbuf[kTextSize + PCAP_ERRBUF_SIZE];
    FILE *f;
    if (instance->dump_stream) {
        f = open_dump_stream(instance->dump_stream, nullptr);
    } else {
        int len = __thread_dumpfile_generate(instance->dumpfile, index, ctx->dumpfile,
                                             sizeof(ctx->dumpfile));
        // A cut name is another file: refuse it instead of writing there.
        if (len >= static_cast<int>(sizeof(ctx->dumpfile))) {
            f = nullptr;
            errno = ENAMETOOLONG;
        } else {
            f = open_dump_stream(nullptr, ctx->dumpfile);
        }
    }
    if (f) {
        ctx->dumper = pcap_dump_fopen(instance->pcap_handle, f);
        if (!ctx->dumper)
            err = pcap_geterr(instance->pcap_handle);
        ctx->buffered = sizeof(pcap_file_header);
    } else {
        // The text libpcap's own open would leave in the handle's error buffer.
        snprintf(errbuf, sizeof(errbuf), "%s: %s", ctx->dumpfile, strerror(errno));
        err = errbuf;
    }
    if (!ctx->dumper) {
        fprintf(stderr, "Cannot open pcap dumper for thread %d, dumpfile is %s : %s.\n", index,
                ctx->dumpfile, err);
        return -1;
    }

    if (pcap_compile(instance->pcap_handle, &ctx->bpf_prog, instance->bpf_rule, 1,
                     PCAP_NETMASK_UNKNOWN) < 0) {
        fprintf(stderr, "Cannot compile bpf rules for thread %d, bpf rule is %s: %s.\n", index,
                instance->bpf_rule, pcap_geterr(instance->pcap_handle));
        return -1;
    }

    ctx->stream_index = static_cast<uint32_t>(index);
    ctx->limit = instance->nr_threads ? instance->packet_count / instance->nr_threads : 0;

    int rc = pthread_create(&ctx->tid, nullptr, dump_capture_thread, ctx);
    if (rc != 0) {
        fprintf(stderr, "Cannot create capture thread %d : %s\n", index, strerror(rc));
        return -1;
    }
    ctx->started = 1;
    return 0;
}

void *dump_capture_thread(void *arg)
{
    auto *ctx = static_cast<dump_thread_ctx *>(arg);
    dump_instance *instance = g_dump_instance;
    // Relaxed throughout: `running` publishes no data, it only asks to stop.
    if (instance->running.load(std::memory_order_relaxed) != 1)
        return nullptr;

    vexmo_instance_t *io = instance->io_instance;
    const bpf_insn *insns = ctx->bpf_prog.bf_insns;
    vexmo_buff_t *bufs[kBurst];
    // What the write loop needs of each matching buffer, taken once.
    const u_char *matched_data[kBurst];
    uint32_t matched_len[kBurst];
    pcap_pkthdr hdr{};
    FILE *stream = pcap_dump_file(ctx->dumper);

    for (;;) {
        if (ctx->limit != 0 && ctx->captured.load(std::memory_order_relaxed) >= ctx->limit)
            break;
        int n = vexmo_recv_all_burst(io, ctx->stream_index, bufs, kBurst);
        if (n < 0)
            n = 0;
        if (n > static_cast<int>(kBurst))
            n = kBurst;
        if (n > 0) {
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

            uint32_t written = 0;
            // Holding the stream's lock over the burst makes the two stdio
            // writes of each record take it recursively, without atomics.
            flockfile(stream);
            for (uint32_t i = 0; i < nr_matched && ctx->write_errno.load(std::memory_order_relaxed) == 0;
                 i++) {
                uint32_t len = matched_len[i];
                size_t record = 16 + size_t{len};
                if (ctx->buffered + record > kDumpBufferSize) {
                    // The flush takes back what it could not write, so this
                    // burst's records are counted before it.
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
            counter_add(ctx->received, static_cast<uint64_t>(n));
            vexmo_buff_free(io, bufs, static_cast<uint32_t>(n), -1, -1);
        }
        if (instance->running.load(std::memory_order_relaxed) != 1)
            break;
    }
    return nullptr;
}
