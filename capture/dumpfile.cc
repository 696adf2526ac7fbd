// Dump files: opening them with their header, the write buffer and its
// writes, keeping a file whole when a write fails, closing and rotating.
//
// Records go into the worker's own buffer and reach the file with write(2),
// a megabyte at a time, or sooner when they have waited a second. The file
// header is libpcap's (pcap_dump_fopen on the shared dead handle); the
// records after it are the same bytes pcap_dump writes. Owning the buffer
// is what lets a failed write keep every record that reached the file whole
// and cut only the last, partial one, lets --min-free make room and write
// the rest, and lets -C know each file's size exactly.
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "trawlcap.h"

namespace {

// Opens name for writing, or a new descriptor for what a name such as
// /dev/stdout stands for (so that its offset and O_APPEND are kept, and
// nothing is truncated). Null with errno EINTR when a stop signal came
// while the open was blocked (a FIFO nobody reads): the set-up ends there.
FILE *open_target(const char *name)
{
    int fd = dump_target_fd(name);
    if (fd >= 0) {
        int copy = dup(fd);
        FILE *f = copy < 0 ? nullptr : fdopen(copy, "wb");
        if (!f && copy >= 0)
            close(copy);
        return f;
    }
    for (;;) {
        FILE *f = fopen(name, "wb");
        // Other signals (SIGUSR1) interrupt the open too; they must not end it.
        if (f || errno != EINTR || g_dump_instance->running.load(std::memory_order_relaxed) != 1)
            return f;
    }
}

// Where a failed write may cut the file, taken before anything is written.
void note_file_start(dump_thread_ctx *ctx, int fd)
{
    struct stat st;
    int flags = fcntl(fd, F_GETFL);
    ctx->appends = flags >= 0 && (flags & O_APPEND) != 0;
    ctx->start_offset = -1;
    ctx->file_dev = 0;
    ctx->file_ino = 0;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    ctx->file_dev = st.st_dev;
    ctx->file_ino = st.st_ino;
    off_t at = lseek(fd, 0, SEEK_CUR);
    ctx->start_offset = ctx->appends || at < 0 ? st.st_size : at;
}

// The first `done` bytes of the buffer reached the file: how many of them
// are whole records, and how many records that is.
size_t whole_records(const uint8_t *buf, size_t done, uint64_t *records)
{
    size_t off = 0;
    uint64_t n = 0;
    while (off + kRecordHeader <= done) {
        uint32_t caplen;
        memcpy(&caplen, buf + off + 8, sizeof caplen);
        if (off + kRecordHeader + caplen > done)
            break;
        off += kRecordHeader + caplen;
        n++;
    }
    *records = n;
    return off;
}

// A file that ends inside a record is rejected by readers: cut it back to
// `keep` bytes of this write, the whole records. Only bytes of ours are
// cut: never when the file goes on beyond where our write ended (another
// writer's data follows; our partial record stays then), and never below
// where this run began writing.
void cut_to_whole(const dump_thread_ctx *ctx, size_t done, size_t keep)
{
    struct stat st;
    if (ctx->start_offset < 0 || keep >= done || fstat(ctx->fd, &st) != 0)
        return;
    off_t end = ctx->appends ? st.st_size : lseek(ctx->fd, 0, SEEK_CUR);
    off_t cut = end - static_cast<off_t>(done - keep);
    if (end < 0 || st.st_size != end || cut < ctx->start_offset)
        return;
    if (ftruncate(ctx->fd, cut) == 0)
        lseek(ctx->fd, cut, SEEK_SET);
    // When the cut fails the file keeps its partial record; the write
    // error is what is reported.
}

// Writes the buffer; the bytes written. A full file system is given room
// from this run's oldest files when --min-free allows it.
size_t write_out(dump_thread_ctx *ctx, int *err)
{
    size_t done = 0;
    *err = 0;
    while (done < ctx->buffered) {
        ssize_t n = write(ctx->fd, ctx->buf + done, ctx->buffered - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        *err = n < 0 ? errno : EIO;
        if ((*err == ENOSPC || *err == EDQUOT) &&
            dump_files_make_room(g_dump_instance, ctx->dumpfile, true))
            continue;
        break;
    }
    return done;
}

// After a failed write: a file keeps the whole records that reached it. What
// a pipe or device took of a failed write may never reach its reader, so
// none of it counts there.
void keep_whole_records(dump_thread_ctx *ctx, size_t done, int err)
{
    uint64_t records = 0;
    size_t keep = ctx->start_offset < 0 ? 0 : whole_records(ctx->buf, done, &records);
    cut_to_whole(ctx, done, keep);
    dump_counter_add(ctx->counts.flushed, records);
    dump_counter_add(ctx->counts.bytes, keep);
    dump_counter_add(ctx->counts.write_errors, 1);
    ctx->captured.store(ctx->captured.load(std::memory_order_relaxed) - (ctx->pending - records),
                        std::memory_order_relaxed);
    ctx->file_bytes -= ctx->buffered - keep;
    ctx->write_errno.store(err, std::memory_order_relaxed);
}

// The file header, from libpcap's writer: a file whose header reached it is
// a valid savefile whatever happens to the records.
int write_header(dump_instance *instance, dump_thread_ctx *ctx, FILE *f)
{
    ctx->fd = fileno(f);
    note_file_start(ctx, ctx->fd);
    ctx->dumper = pcap_dump_fopen(instance->pcap_handle, f);
    if (!ctx->dumper)
        return -1;
    dump_counter_add(ctx->counts.files, 1);
    errno = 0;
    if (fflush(f) == 0 && !ferror(f)) {
        dump_counter_add(ctx->counts.bytes, kFileHeader);
        ctx->file_bytes = kFileHeader;
        return 0;
    }
    int err = errno ? errno : EIO;
    // Dropped, or the flush at exit would write it again after the cut.
    __fpurge(f);
    // Part of a header is no savefile: the file goes back to where it began.
    struct stat st;
    if (ctx->start_offset >= 0 && fstat(ctx->fd, &st) == 0 && st.st_size > ctx->start_offset)
        cut_to_whole(ctx, static_cast<size_t>(st.st_size - ctx->start_offset), 0);
    dump_counter_add(ctx->counts.write_errors, 1);
    ctx->write_errno.store(err, std::memory_order_relaxed);
    return 0;
}

// The current file's name into ctx->dumpfile.
int name_file(const dump_instance *instance, dump_thread_ctx *ctx)
{
    int len = dump_file_name(instance, ctx->stem, ctx->seq, ctx->file_time, ctx->dumpfile,
                             sizeof(ctx->dumpfile));
    if (len >= static_cast<int>(sizeof(ctx->dumpfile))) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

// Opens the file ctx->dumpfile names, or the instance's stream, and writes
// its header; 1 after an interrupted open, -1 with errno set.
int open_and_head(dump_instance *instance, dump_thread_ctx *ctx)
{
    FILE *f = instance->dump_stream ? instance->dump_stream : open_target(ctx->dumpfile);
    if (!f)
        return errno == EINTR ? 1 : -1;
    return write_header(instance, ctx, f);
}

} // namespace

int dump_file_open(dump_instance *instance, dump_thread_ctx *ctx, int index)
{
    // Lives as long as the worker, that is until the process ends.
    ctx->buf = static_cast<uint8_t *>(malloc(kDumpBufferSize));
    ctx->fd = -1;
    ctx->seq = 1;
    ctx->hup_seen = instance->hup_count.load(std::memory_order_relaxed);
    ctx->window_end = INT64_MAX;
    ctx->file_time = dump_clock_ns(CLOCK_REALTIME) / 1000000000LL;
    if (instance->rotate_seconds) {
        ctx->file_time = dump_window_start(ctx->file_time, instance->rotate_seconds);
        ctx->window_end = ctx->file_time + instance->rotate_seconds;
        ctx->idle_rotates = 1;
    }
    int rc = -1;
    const char *err = nullptr;
    char errbuf[kTextSize + PCAP_ERRBUF_SIZE];
    int len = 0;
    if (!instance->dump_stream) {
        len = dump_thread_dumpfile(instance->dumpfile, index, ctx->stem, sizeof(ctx->stem));
        snprintf(ctx->dumpfile, sizeof(ctx->dumpfile), "%s", ctx->stem);
    }
    // A cut name is another file: refuse it instead of writing there.
    if (!ctx->buf)
        errno = ENOMEM;
    else if (len >= static_cast<int>(sizeof(ctx->stem)) || name_file(instance, ctx) < 0)
        errno = ENAMETOOLONG;
    else
        rc = open_and_head(instance, ctx);
    if (rc >= 0 && ctx->dumper)
        return rc;
    if (rc == 1)
        return 1;
    if (ctx->fd >= 0) {
        err = pcap_geterr(instance->pcap_handle);
    } else {
        // The text libpcap's own open would leave in the handle's error buffer.
        snprintf(errbuf, sizeof(errbuf), "%s: %s", ctx->dumpfile, strerror(errno));
        err = errbuf;
    }
    return cannot("open pcap dumper for thread %d, dumpfile is %s : %s.", index, ctx->dumpfile,
                  err);
}

int dump_thread_flush(dump_thread_ctx *ctx)
{
    if (ctx->write_errno.load(std::memory_order_relaxed))
        return -1;
    int err = 0;
    size_t done = ctx->buffered ? write_out(ctx, &err) : 0;
    if (err == 0) {
        dump_counter_add(ctx->counts.flushed, ctx->pending);
        dump_counter_add(ctx->counts.bytes, ctx->buffered);
    } else {
        keep_whole_records(ctx, done, err);
    }
    ctx->buffered = 0;
    ctx->pending = 0;
    return err ? -1 : 0;
}

int dump_file_finish(dump_instance *instance, dump_thread_ctx *ctx)
{
    int rc = dump_thread_flush(ctx);
    if (instance->dump_stream || !ctx->dumper)
        return rc;
    fclose(pcap_dump_file(ctx->dumper));
    ctx->dumper = nullptr;
    dump_files_closed(instance, ctx);
    return rc;
}

int dump_file_rotate(dump_instance *instance, dump_thread_ctx *ctx, int64_t file_time)
{
    if (dump_file_finish(instance, ctx) < 0)
        return -1;
    ctx->seq++;
    // A next file of the same window (SIGHUP, -C) keeps the window's rule:
    // else a SIGHUP taken just after the window's end would leave an idle
    // worker in that window for good.
    bool new_window = file_time != ctx->file_time;
    ctx->file_time = file_time;
    if (instance->rotate_seconds && new_window) {
        ctx->window_end = file_time + instance->rotate_seconds;
        ctx->idle_rotates = ctx->window_end > dump_clock_ns(CLOCK_REALTIME) / 1000000000LL;
    }
    if (instance->min_free)
        dump_files_make_room(instance, ctx->stem, false);
    int rc = name_file(instance, ctx) < 0 ? -1 : open_and_head(instance, ctx);
    if (rc == 0 && ctx->dumper)
        return 0;
    // The capture goes on without this worker's files, as after a failed
    // write; the line says which file could not be opened.
    int err = errno ? errno : EIO;
    ctx->write_errno.store(err, std::memory_order_relaxed);
    dump_counter_add(ctx->counts.write_errors, 1);
    return -1;
}
