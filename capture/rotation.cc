// Rotation: when a worker's records go to its next file, and how its writer
// gets there. The worker decides (worker.cc asks dump_rotation_due for each
// record and when idle) and names the file in a mark; the writer acts on the
// mark here: it closes the current file, hands it to the ring, the floor and
// -z, and opens the one the mark names, or goes without a file for a second
// when it cannot. Which window a file is of is kept here too. The primitives
// of one file (its name, opening it with its header, writing, cutting back,
// its index) are dumpfile.cc's.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "trawlcap.h"

bool dump_rotation_due(const dump_rotation &r, uint64_t file_bytes, uint64_t bytes, int64_t sec,
                       int64_t file_time, int64_t window_end, int64_t *start)
{
    // -C: a file past its header that the record would take past the size.
    bool by_size = file_bytes + bytes > r.rotate_size && file_bytes > kFileHeader;
    // -G: a record of another window than the file's (a stamp that went
    // back before the file's start too).
    bool by_time = r.rotate_seconds && (sec >= window_end || sec < file_time);
    if (!by_size && !by_time)
        return false;
    // By size alone the next file is of the same window, or (without -G)
    // named by the record's second.
    *start = sec;
    if (r.rotate_seconds)
        *start = by_time ? dump_window_start(sec, r.rotate_seconds) : file_time;
    return true;
}

// A next file of the same window (SIGHUP, -C, a retry) keeps the window's
// rule: else a SIGHUP taken just after the window's end would leave an idle
// worker in that window for good.
void dump_set_window(const dump_instance *instance, dump_thread_ctx *ctx, int64_t file_time)
{
    bool new_window = file_time != ctx->own.file_time || ctx->own.window_end == 0;
    ctx->own.file_time = file_time;
    if (!instance->rotate_seconds) {
        ctx->own.window_end = INT64_MAX;
    } else if (new_window) {
        ctx->own.window_end = file_time + instance->rotate_seconds;
        ctx->own.idle_rotates = ctx->own.window_end > dump_clock_ns(CLOCK_REALTIME) / 1000000000LL;
    }
}

void dump_go_without_file(dump_thread_ctx *ctx, const char *what, int err)
{
    dump_output *o = &ctx->out;
    if (!o->outage)
        cannot("%s dumpfile %s for thread %u : %s", what, o->dumpfile, ctx->setup.stream_index,
               strerror(err));
    o->outage = 1;
    o->retry_ns = dump_clock_ns(CLOCK_MONOTONIC_COARSE) + 1000000000LL;
    ctx->shared.failed_gen.store(o->gen, std::memory_order_relaxed);
}

int dump_output_open(dump_instance *instance, dump_thread_ctx *ctx, int64_t file_time, uint32_t gen)
{
    dump_output *o = &ctx->out;
    dump_output_close(instance, ctx, false);
    o->file_time = file_time;
    o->gen = gen;
    // Files the worker asked for before it learnt of the failure are not
    // tried until a second after it, as the worker itself would wait.
    if (o->outage && dump_clock_ns(CLOCK_MONOTONIC_COARSE) < o->retry_ns) {
        ctx->shared.failed_gen.store(gen, std::memory_order_relaxed);
        return -1;
    }
    if (instance->file_count)
        dump_files_keep_ring(instance, ctx->setup.stream_index);
    if (instance->min_free)
        dump_files_make_room(instance, ctx->setup.stem, false);
    int rc = dump_file_open_and_head(instance, ctx);
    if (rc == 0) {
        o->outage = 0;
        return 0;
    }
    int err = errno ? errno : EIO;
    dump_counter_add(ctx->shared.counts.write_errors, rc == 2 ? 0 : 1);
    dump_go_without_file(ctx, rc == 2 ? "write" : "open", err);
    return -1;
}

void dump_output_close(dump_instance *instance, dump_thread_ctx *ctx, bool last)
{
    dump_output *o = &ctx->out;
    if (!o->dumper)
        return;
    // A descriptor shared with others (standard output) ends where our bytes end.
    if (o->positioned)
        lseek(o->fd, static_cast<off_t>(o->pos), SEEK_SET);
    if (o->direct_fd >= 0)
        close(o->direct_fd);
    o->direct_fd = -1;
    if (instance->dump_stream)
        return; // standard output stays open, its dumper with it
    if (o->drop_cache)
        posix_fadvise(o->fd, 0, 0, POSIX_FADV_DONTNEED);
    if (o->indexing)
        dump_index_write(o);
    fclose(pcap_dump_file(o->dumper));
    o->dumper = nullptr;
    o->fd = -1;
    dump_files_closed(instance, ctx, last);
}
